// Built by prepare.sh with the new compiler and run at once: the stand-ins of
// libstdcxx_compat.cpp must keep exception_ptr's reference count exact (a
// miss either leaks the exception or frees it while still referenced) and
// throw what the library would. Exits non-zero on the first wrong answer.
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

int live = 0;  // exception objects alive now

struct Counted : std::runtime_error {
    Counted() : std::runtime_error("counted") { ++live; }
    Counted(const Counted& other) : std::runtime_error(other) { ++live; }
    ~Counted() override { --live; }
};

int failures = 0;

void expect(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "compat check: %s\n", what);
        ++failures;
    }
}

std::exception_ptr thrown() {
    try {
        throw Counted();
    } catch (...) {
        return std::current_exception();
    }
}

}  // namespace

int main() {
    {
        std::exception_ptr first = thrown();
        expect(live == 1, "one exception object after the catch");
        {
            std::exception_ptr copy = first;                       // copy: one more reference
            std::vector<std::exception_ptr> copies(5, copy);       // five more
            std::exception_ptr moved = std::move(copies.back());  // a move takes none
            copies.clear();
            copy = nullptr;
            expect(live == 1 && moved == first, "copies share the one exception");
        }
        expect(live == 1, "the object outlives its copies while the first pointer holds it");
        try {
            std::rethrow_exception(first);
        } catch (const Counted&) {
            expect(live >= 1, "the rethrown object is alive in its handler");
        } catch (...) {
            expect(false, "rethrow_exception threw another type");
        }
    }
    expect(live == 0, "the object is freed with its last pointer");

    bool caught = false;
    try {
        // More elements than the address space holds bytes for: the
        // allocator's own check, std::__throw_bad_array_new_length.
        std::allocator<double> allocator;
        (void)allocator.allocate(static_cast<std::size_t>(-1) / 4);
    } catch (const std::bad_array_new_length&) {
        caught = true;
    } catch (...) {
    }
    expect(caught, "an impossible array length throws bad_array_new_length");

    if (failures == 0) {
        std::puts("compat check: exception_ptr counts and array-length errors as expected");
    }
    return failures == 0 ? 0 : 1;
}
