// Tells ThreadSanitizer about the ordering that oneTBB's scheduler guarantees.
//
// Debian's libtbb is not built with ThreadSanitizer, so the atomics with which
// it hands a task from the spawning thread to the thread that runs it, recycles
// task memory between threads, and reports a finished wait are invisible.
// Every task hand-off then looks like a data race between our (instrumented)
// code on both sides. Hiding those reports with suppressions would also hide
// real races in our code, because the library's frames are on every worker
// thread's stack.
//
// This library is preloaded (LD_PRELOAD) into a ThreadSanitizer build of the
// tests instead. It interposes the exported oneTBB entry points that
// instrumented code calls and adds exactly the happens-before edges the
// library promises, as annotations on the objects concerned:
//
//   spawn / enqueue / submit / execute_and_wait (task t):
//       release on t before the hand-off; the thread that runs or cancels t
//       acquires t first (see the virtual-call hooks below).
//   task_arena::execute / isolate (delegate d): the same for d.
//   execute_and_wait / wait (wait_context w, task_group_context c):
//       acquire on w's reference count once the wait is over; instrumented
//       code released it when it dropped the last reference. A task or
//       delegate that throws releases its context (or the delegate) on the
//       way out, and the wait acquires c, because the library then ends the
//       wait without that last reference being dropped and rethrows the
//       exception object, which the throwing thread wrote, in the waiter.
//   allocate / deallocate (small-object pool):
//       release on the block when it is given back, acquire when it is handed
//       out again (possibly to another thread).
//
// The library also recycles memory through its own allocator, libtbbmalloc,
// which ThreadSanitizer does not see either: memory one thread used for a
// task could come back to another for something else at another address.
// This library therefore also stands in for libtbbmalloc (it carries that
// soname and its four allocation functions, which oneTBB looks up among the
// loaded libraries before loading the real one) and passes the requests on
// to malloc and free, which ThreadSanitizer tracks.
//
// No other edges are added: races between tasks, or between a task and code
// outside the scheduler, stay visible. This file is built without
// instrumentation; its own atomics and its spin lock are invisible to
// ThreadSanitizer and so create no ordering of their own.
//
// Tied to the oneTBB 2021 ABI (vtable layout of d1::task and
// d1::delegate_base, layout of d1::wait_context). The static_asserts check
// the sizes; with another layout the hooks would call the wrong entries and
// the tests would crash or report races at every hand-off, never pass quietly.
// The canary of scripts/test-sanitizers.sh shows that races in work run on the
// pool are still reported.
#include <dlfcn.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <oneapi/tbb/detail/_small_object_pool.h>
#include <oneapi/tbb/detail/_task.h>
#include <oneapi/tbb/detail/_utils.h>
#include <oneapi/tbb/task_arena.h>

extern "C" {
// From the ThreadSanitizer runtime, which the instrumented program loads.
void __tsan_acquire(void* addr) __attribute__((weak));
void __tsan_release(void* addr) __attribute__((weak));
}

namespace {

namespace d1 = tbb::detail::d1;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "tbb_tsan_annotations: %s\n", what);
    std::abort();
}

// In a process without ThreadSanitizer (a wrapper such as `timeout` started
// with the same LD_PRELOAD) the annotations do nothing and every call goes
// straight on to the library.
void acquire(const void* addr) {
    if (__tsan_acquire != nullptr) {
        __tsan_acquire(const_cast<void*>(addr));
    }
}

void release(const void* addr) {
    if (__tsan_release != nullptr) {
        __tsan_release(const_cast<void*>(addr));
    }
}

// The definition of the interposed function `self` in the next object after
// this one (libtbb), found by the symbol name of `self`.
void* next_definition(void* self) {
    Dl_info info{};
    if (::dladdr(self, &info) == 0 || info.dli_sname == nullptr) {
        die("cannot name an interposed function");
    }
    void* next = ::dlsym(RTLD_NEXT, info.dli_sname);
    if (next == nullptr || next == self) {
        die("an interposed oneTBB function is missing from libtbb");
    }
    return next;
}

template <typename Fn>
Fn real(Fn self, std::atomic<void*>& cache) {
    void* next = cache.load(std::memory_order_acquire);
    if (next == nullptr) {
        next = next_definition(reinterpret_cast<void*>(self));
        cache.store(next, std::memory_order_release);
    }
    return reinterpret_cast<Fn>(next);
}

// ---------------------------------------------------------------------------
// Virtual-call hooks.
//
// The library runs a task by calling its virtual execute (or cancel) itself,
// from code we cannot change. Before a task is handed over, its vtable pointer
// is switched to a copy of its vtable in which those entries first acquire the
// task, put the original vtable pointer back and then call the original entry.
// The same is done for the delegate of task_arena::execute and its operator().
//
// Itanium C++ ABI: the vtable pointer points at the first virtual function
// entry; the two words before it are the offset to top and the type_info.

// d1::task: ~task (complete), ~task (deleting), execute, cancel.
constexpr std::size_t task_slots = 4;
constexpr std::size_t task_execute_slot = 2;
constexpr std::size_t task_cancel_slot = 3;
// d1::delegate_base: operator() const, ~delegate_base (complete, deleting).
constexpr std::size_t delegate_slots = 3;
constexpr std::size_t delegate_call_slot = 0;

constexpr std::size_t max_slots = 4;

struct HookedVtable {
    void* const* original;  // the object's own vtable pointer
    const void* offset_to_top;
    const void* type_info;
    void* slots[max_slots];  // the hooked object's vtable pointer points here
};

constexpr std::size_t max_hooked_vtables = 512;
HookedVtable hooked_vtables[max_hooked_vtables];
std::atomic<std::size_t> hooked_count{0};
std::atomic_flag hooking_lock = ATOMIC_FLAG_INIT;

void* const*& vptr_of(const void* object) { return *reinterpret_cast<void* const**>(const_cast<void*>(object)); }

HookedVtable* hooked_of(const void* object) {
    const auto slots = reinterpret_cast<std::uintptr_t>(vptr_of(object));
    const auto first = reinterpret_cast<std::uintptr_t>(&hooked_vtables[0]);
    const auto last = reinterpret_cast<std::uintptr_t>(&hooked_vtables[max_hooked_vtables]);
    if (slots < first || slots >= last) {
        return nullptr;
    }
    return reinterpret_cast<HookedVtable*>(slots - offsetof(HookedVtable, slots));
}

template <std::size_t Slots, std::size_t... Replaced>
HookedVtable& hooked_table_for(void* const* original, void* const (&replacements)[sizeof...(Replaced)]) {
    const std::size_t published = hooked_count.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < published; ++i) {
        if (hooked_vtables[i].original == original) {
            return hooked_vtables[i];
        }
    }
    while (hooking_lock.test_and_set(std::memory_order_acquire)) {
    }
    const std::size_t count = hooked_count.load(std::memory_order_relaxed);
    for (std::size_t i = published; i < count; ++i) {
        if (hooked_vtables[i].original == original) {
            hooking_lock.clear(std::memory_order_release);
            return hooked_vtables[i];
        }
    }
    if (count == max_hooked_vtables) {
        die("too many task types");
    }
    HookedVtable& table = hooked_vtables[count];
    table.original = original;
    table.offset_to_top = original[-2];
    table.type_info = original[-1];
    for (std::size_t s = 0; s < Slots; ++s) {
        table.slots[s] = original[s];
    }
    constexpr std::size_t replaced[] = {Replaced...};
    for (std::size_t r = 0; r < sizeof...(Replaced); ++r) {
        table.slots[replaced[r]] = replacements[r];
    }
    hooked_count.store(count + 1, std::memory_order_release);
    hooking_lock.clear(std::memory_order_release);
    return table;
}

// The original vtable entry `slot` of a hooked object, with the object's
// vtable pointer put back first.
void* unhook(const void* object, std::size_t slot) {
    HookedVtable* table = hooked_of(object);
    if (table == nullptr) {
        die("hook called on an object that is not hooked");
    }
    vptr_of(object) = table->original;
    return table->original[slot];
}

using TaskFn = d1::task* (*)(d1::task*, d1::execution_data&);

// Runs the original entry `slot` of a hooked task. An exception leaving it is
// published on the task's context for the thread that waits on the context.
d1::task* run_task(d1::task* self, d1::execution_data& ed, std::size_t slot) {
    acquire(self);
    const auto original = reinterpret_cast<TaskFn>(unhook(self, slot));
    d1::task_group_context* context = ed.context;
    try {
        return original(self, ed);
    } catch (...) {
        release(context);
        throw;
    }
}

d1::task* task_execute_hook(d1::task* self, d1::execution_data& ed) {
    return run_task(self, ed, task_execute_slot);
}

d1::task* task_cancel_hook(d1::task* self, d1::execution_data& ed) {
    return run_task(self, ed, task_cancel_slot);
}

// Namespace-scope tables, filled at load time: a function-local static would
// be guarded by __cxa_guard_acquire, which ThreadSanitizer treats as
// synchronisation between the threads that pass it.
void* const task_hooks[] = {reinterpret_cast<void*>(&task_execute_hook),
                            reinterpret_cast<void*>(&task_cancel_hook)};

// Publishes everything this thread did so far to whoever runs `t`.
void hand_over(d1::task& t) {
    release(&t);
    if (hooked_of(&t) != nullptr) {
        return;
    }
    HookedVtable& table =
        hooked_table_for<task_slots, task_execute_slot, task_cancel_slot>(vptr_of(&t), task_hooks);
    vptr_of(&t) = table.slots;
}

using DelegateFn = bool (*)(const d1::delegate_base*);

bool delegate_call_hook(const d1::delegate_base* self) {
    acquire(self);
    const auto original = reinterpret_cast<DelegateFn>(unhook(self, delegate_call_slot));
    try {
        return original(self);
    } catch (...) {
        release(self);
        throw;
    }
}

void* const delegate_hooks[] = {reinterpret_cast<void*>(&delegate_call_hook)};

// Like hand_over, for a delegate that may run on another thread; returns the
// vtable pointer to restore once the call is over (the delegate may not have
// run at all if the call failed early).
void* const* hand_over(d1::delegate_base& d) {
    release(&d);
    if (const HookedVtable* hooked = hooked_of(&d)) {
        return hooked->original;
    }
    void* const* original = vptr_of(&d);
    HookedVtable& table = hooked_table_for<delegate_slots, delegate_call_slot>(original, delegate_hooks);
    vptr_of(&d) = table.slots;
    return original;
}

// Restores the delegate and takes over what was done on its behalf.
struct DelegateReturn {
    d1::delegate_base& d;
    void* const* original;
    ~DelegateReturn() {
        vptr_of(&d) = original;
        acquire(&d);
    }
};

// d1::wait_context: a version word, then the atomic reference count that
// instrumented code decrements (wait_context::release) when work finishes.
static_assert(sizeof(d1::wait_context) == 2 * sizeof(std::uint64_t));
const void* reference_count_of(const d1::wait_context& w) {
    return reinterpret_cast<const unsigned char*>(&w) + sizeof(std::uint64_t);
}

struct WaitReturn {
    const d1::wait_context& w;
    const d1::task_group_context& context;
    ~WaitReturn() {
        acquire(reference_count_of(w));
        acquire(&context);
    }
};

static_assert(sizeof(d1::task) == 64 && alignof(d1::task) == 64);

}  // namespace

// ---------------------------------------------------------------------------
// libtbbmalloc's entry points, as oneTBB's allocator looks them up.

extern "C" {

void* scalable_malloc(std::size_t bytes) { return std::malloc(bytes); }

void scalable_free(void* block) { std::free(block); }

void* scalable_aligned_malloc(std::size_t bytes, std::size_t alignment) {
    void* block = nullptr;
    if (alignment < sizeof(void*)) {
        alignment = sizeof(void*);
    }
    return ::posix_memalign(&block, alignment, bytes == 0 ? 1 : bytes) == 0 ? block : nullptr;
}

void scalable_aligned_free(void* block) { std::free(block); }

}  // extern "C"

// ---------------------------------------------------------------------------
// The interposed entry points, with the signatures of oneTBB's headers.

namespace tbb::detail::r1 {

void spawn(d1::task& t, d1::task_group_context& ctx) {
    static std::atomic<void*> cache{nullptr};
    using Fn = void (*)(d1::task&, d1::task_group_context&);
    hand_over(t);
    real(static_cast<Fn>(&spawn), cache)(t, ctx);
}

void spawn(d1::task& t, d1::task_group_context& ctx, d1::slot_id id) {
    static std::atomic<void*> cache{nullptr};
    using Fn = void (*)(d1::task&, d1::task_group_context&, d1::slot_id);
    hand_over(t);
    real(static_cast<Fn>(&spawn), cache)(t, ctx, id);
}

void submit(d1::task& t, d1::task_group_context& ctx, arena* a, std::uintptr_t as_critical) {
    static std::atomic<void*> cache{nullptr};
    using Fn = void (*)(d1::task&, d1::task_group_context&, arena*, std::uintptr_t);
    hand_over(t);
    real(static_cast<Fn>(&submit), cache)(t, ctx, a, as_critical);
}

void enqueue(d1::task& t, d1::task_arena_base* ta) {
    static std::atomic<void*> cache{nullptr};
    using Fn = void (*)(d1::task&, d1::task_arena_base*);
    hand_over(t);
    real(static_cast<Fn>(&enqueue), cache)(t, ta);
}

void enqueue(d1::task& t, d1::task_group_context& ctx, d1::task_arena_base* ta) {
    static std::atomic<void*> cache{nullptr};
    using Fn = void (*)(d1::task&, d1::task_group_context&, d1::task_arena_base*);
    hand_over(t);
    real(static_cast<Fn>(&enqueue), cache)(t, ctx, ta);
}

void execute_and_wait(d1::task& t, d1::task_group_context& t_ctx, d1::wait_context& w,
                      d1::task_group_context& w_ctx) {
    static std::atomic<void*> cache{nullptr};
    using Fn = void (*)(d1::task&, d1::task_group_context&, d1::wait_context&, d1::task_group_context&);
    hand_over(t);
    WaitReturn done{w, w_ctx};
    real(static_cast<Fn>(&execute_and_wait), cache)(t, t_ctx, w, w_ctx);
}

void wait(d1::wait_context& w, d1::task_group_context& ctx) {
    static std::atomic<void*> cache{nullptr};
    using Fn = void (*)(d1::wait_context&, d1::task_group_context&);
    WaitReturn done{w, ctx};
    real(static_cast<Fn>(&wait), cache)(w, ctx);
}

void execute(d1::task_arena_base& ta, d1::delegate_base& d) {
    static std::atomic<void*> cache{nullptr};
    using Fn = void (*)(d1::task_arena_base&, d1::delegate_base&);
    DelegateReturn done{d, hand_over(d)};
    real(static_cast<Fn>(&execute), cache)(ta, d);
}

void isolate_within_arena(d1::delegate_base& d, std::intptr_t isolation) {
    static std::atomic<void*> cache{nullptr};
    using Fn = void (*)(d1::delegate_base&, std::intptr_t);
    DelegateReturn done{d, hand_over(d)};
    real(static_cast<Fn>(&isolate_within_arena), cache)(d, isolation);
}

void* allocate(d1::small_object_pool*& pool, std::size_t bytes, const d1::execution_data& ed) {
    static std::atomic<void*> cache{nullptr};
    using Fn = void* (*)(d1::small_object_pool*&, std::size_t, const d1::execution_data&);
    void* block = real(static_cast<Fn>(&allocate), cache)(pool, bytes, ed);
    acquire(block);
    return block;
}

void* allocate(d1::small_object_pool*& pool, std::size_t bytes) {
    static std::atomic<void*> cache{nullptr};
    using Fn = void* (*)(d1::small_object_pool*&, std::size_t);
    void* block = real(static_cast<Fn>(&allocate), cache)(pool, bytes);
    acquire(block);
    return block;
}

void deallocate(d1::small_object_pool& pool, void* block, std::size_t bytes, const d1::execution_data& ed) {
    static std::atomic<void*> cache{nullptr};
    using Fn = void (*)(d1::small_object_pool&, void*, std::size_t, const d1::execution_data&);
    release(block);
    real(static_cast<Fn>(&deallocate), cache)(pool, block, bytes, ed);
}

void deallocate(d1::small_object_pool& pool, void* block, std::size_t bytes) {
    static std::atomic<void*> cache{nullptr};
    using Fn = void (*)(d1::small_object_pool&, void*, std::size_t);
    release(block);
    real(static_cast<Fn>(&deallocate), cache)(pool, block, bytes);
}

}  // namespace tbb::detail::r1
