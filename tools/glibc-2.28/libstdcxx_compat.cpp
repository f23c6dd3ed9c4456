// Three functions that GCC 12's libstdc++ headers call out of line but that a
// glibc 2.28 system's libstdc++ (GCC 8: GLIBCXX_3.4.25, CXXABI_1.3.11) does
// not export. Each binary built for that system carries its own hidden copy,
// written with what the old library does export, so the binary asks the
// system's libstdc++.so.6 for nothing newer.
#include <exception>
#include <new>

// The out-of-line copy constructor and destructor of exception_ptr, exported
// since CXXABI_1.3.3, reached by version so that the inline ones of the
// headers in use (which call the functions below) are not picked instead.
extern "C" void rowmerge_exception_ptr_copy(void* self, const void* other) noexcept;
extern "C" void rowmerge_exception_ptr_destroy(void* self) noexcept;
__asm__(".symver rowmerge_exception_ptr_copy, _ZNSt15__exception_ptr13exception_ptrC1ERKS0_@CXXABI_1.3.3");
__asm__(".symver rowmerge_exception_ptr_destroy, _ZNSt15__exception_ptr13exception_ptrD1Ev@CXXABI_1.3.3");

namespace std {

// GLIBCXX_3.4.29
void __throw_bad_array_new_length() { throw bad_array_new_length(); }

namespace __exception_ptr {

// CXXABI_1.3.13: one more reference, the one a copy takes and never gives back.
void exception_ptr::_M_addref() noexcept {
    void* copy = nullptr;
    rowmerge_exception_ptr_copy(&copy, this);
}

// CXXABI_1.3.13: one reference fewer, given back by destroying a copy of the
// pointer (the caller's object is not touched).
void exception_ptr::_M_release() noexcept {
    void* object = _M_exception_object;
    rowmerge_exception_ptr_destroy(&object);
}

}  // namespace __exception_ptr
}  // namespace std

// Local to each binary: never exported, so the system's libstdc++ (whose own
// copy constructor calls _M_addref) cannot be bound to these.
__asm__(".hidden _ZSt28__throw_bad_array_new_lengthv");
__asm__(".hidden _ZNSt15__exception_ptr13exception_ptr9_M_addrefEv");
__asm__(".hidden _ZNSt15__exception_ptr13exception_ptr10_M_releaseEv");
