#include "merge/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <string_view>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#if defined(__SANITIZE_THREAD__)
#define ROWMERGE_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ROWMERGE_THREAD_SANITIZER 1
#endif
#endif
#if defined(ROWMERGE_THREAD_SANITIZER)
#include <sanitizer/tsan_interface.h>
#endif

namespace rowmerge {
namespace {

// A plain decimal integer with an optional leading '+', fitting a size_t.
std::optional<std::size_t> parse_count(const char* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    std::string_view digits(text);
    if (!digits.empty() && digits.front() == '+') {
        digits.remove_prefix(1);
    }
    if (digits.empty()) {
        return std::nullopt;
    }
    std::size_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        if (__builtin_mul_overflow(value, std::size_t{10}, &value) ||
            __builtin_add_overflow(value, static_cast<std::size_t>(c - '0'), &value)) {
            return std::nullopt;
        }
    }
    return value;
}

// oneTBB's worker threads do not survive fork(). Before a fork we wait until no
// call is using the pool and shut the pool down, so that parent and child each
// start a fresh one on their next call. The shutdown cannot happen while
// another live thread still holds its registration with the library (any
// thread that ran a parallel call keeps one until it exits); a child forked in
// that state inherits a pool without threads, and runs its calls on the
// calling thread alone.
//
// Nothing here may be half made when a fork happens: a child would wait
// forever for the thread that was making it. So the lifecycle itself is made
// when the library is loaded (below), and the library is started by the first
// call that needs it, while that call holds the usage lock, which a fork waits
// for.
class PoolLifecycle {
public:
    static PoolLifecycle& instance() {
        static auto* lifecycle = new PoolLifecycle();  // never destroyed: used at exit and in forks
        return *lifecycle;
    }

    // Held (shared) by every call for as long as it uses the pool.
    std::shared_mutex& usage() noexcept { return *std::launder(reinterpret_cast<std::shared_mutex*>(usage_storage_)); }

    bool pool_usable() const noexcept { return pool_usable_; }

    // Starts the library if no call has since the last fork. Called with the
    // usage lock held (shared).
    void start_library() {
        if (attached_.load(std::memory_order_acquire)) {
            return;
        }
        const std::scoped_lock lock(attaching_);
        if (!attached_.load(std::memory_order_relaxed)) {
            attach();
            attached_.store(true, std::memory_order_release);
        }
    }

private:
    PoolLifecycle() {
        new (usage_storage_) std::shared_mutex();
        ::pthread_atfork(&PoolLifecycle::before_fork, &PoolLifecycle::after_fork_in_parent,
                         &PoolLifecycle::after_fork_in_child);
    }

    void attach() {
        handle_ = oneapi::tbb::task_scheduler_handle{oneapi::tbb::attach{}};
        // Let arenas have as many workers as a call asks for, not only one
        // per core.
        parallelism_ = std::make_unique<oneapi::tbb::global_control>(
            oneapi::tbb::global_control::max_allowed_parallelism, max_worker_count + 1);
    }

    // In a process whose pool is unusable (a child forked while the library
    // could not be shut down, and its own children) the handlers only take and
    // give back the lock: the library is never called there, not even to
    // shut it down, since its locks may be held by threads that do not exist.
    static void before_fork() {
        PoolLifecycle& self = instance();
        self.usage().lock();
        if (!self.pool_usable_) {
            self.shut_down_ = false;
            return;
        }
        if (!self.attached_.load(std::memory_order_relaxed)) {
            self.shut_down_ = true;  // never started since the last fork
            return;
        }
        self.parallelism_.reset();
        self.shut_down_ = oneapi::tbb::finalize(self.handle_, std::nothrow);
    }

    // Parent and child start the library afresh on their next parallel call.
    static void after_fork_in_parent() {
        PoolLifecycle& self = instance();
        self.attached_.store(false, std::memory_order_relaxed);
        self.usage().unlock();
    }

    static void after_fork_in_child() {
        PoolLifecycle& self = instance();
        if (self.pool_usable_ && self.shut_down_) {
            self.attached_.store(false, std::memory_order_relaxed);
        } else {
            // The library's state was copied mid-use from the parent (its
            // locks may be held by threads that do not exist here): never
            // call into it again in this process.
            self.pool_usable_ = false;
        }
        // The lock is held in the name of the parent's thread: it records the
        // owner's kernel thread id, which the child's thread does not share,
        // so an unlock here would be taken for a reader's. A fresh lock
        // replaces it.
        forget_exclusive_lock(self.usage());
        new (self.usage_storage_) std::shared_mutex();
    }

    // ThreadSanitizer does not see a lock replaced in place; it is told that
    // the exclusive hold taken before the fork ends here.
    static void forget_exclusive_lock([[maybe_unused]] std::shared_mutex& lock) noexcept {
#if defined(ROWMERGE_THREAD_SANITIZER)
        __tsan_mutex_pre_unlock(&lock, 0);
        __tsan_mutex_post_unlock(&lock, 0);
#endif
    }

    alignas(std::shared_mutex) unsigned char usage_storage_[sizeof(std::shared_mutex)];
    oneapi::tbb::task_scheduler_handle handle_;
    std::unique_ptr<oneapi::tbb::global_control> parallelism_;
    std::mutex attaching_;
    std::atomic<bool> attached_{false};
    bool shut_down_ = false;
    bool pool_usable_ = true;
};

// Made when the library is loaded, not by a call (see PoolLifecycle). Should
// that fail for want of memory, the first parallel call tries again.
bool make_pool_lifecycle() noexcept {
    try {
        PoolLifecycle::instance();
        return true;
    } catch (...) {
        return false;
    }
}
[[maybe_unused]] const bool pool_lifecycle_made = make_pool_lifecycle();

}  // namespace

std::size_t available_processors() noexcept {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (::sched_getaffinity(0, sizeof(mask), &mask) == 0) {
        const int count = CPU_COUNT(&mask);
        if (count > 0) {
            return static_cast<std::size_t>(count);
        }
    }
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

std::size_t resolve_worker_count(std::size_t requested) {
    std::size_t count = requested;
    if (count == 0) {
        const std::optional<std::size_t> from_threads = parse_count(std::getenv("RAYON_NUM_THREADS"));
        const std::optional<std::size_t> from_cpus = parse_count(std::getenv("RAYON_RS_NUM_CPUS"));
        if (from_threads && *from_threads > 0) {
            count = *from_threads;
        } else if (!from_threads && from_cpus && *from_cpus > 0) {
            count = *from_cpus;
        } else {
            count = available_processors();
        }
    }
    return count < max_worker_count ? count : max_worker_count;
}

void for_each_range(std::size_t workers, std::size_t count,
                    const std::function<void(std::size_t begin, std::size_t end)>& piece) {
    if (count == 0) {
        return;
    }
    if (workers <= 1 || count == 1) {
        piece(0, count);
        return;
    }
    PoolLifecycle& lifecycle = PoolLifecycle::instance();
    std::shared_lock<std::shared_mutex> in_use(lifecycle.usage());
    if (!lifecycle.pool_usable()) {
        piece(0, count);
        return;
    }
    lifecycle.start_library();
    oneapi::tbb::task_arena arena(static_cast<int>(workers), 1);
    arena.execute([&] {
        oneapi::tbb::parallel_for(
            oneapi::tbb::blocked_range<std::size_t>(0, count, 1),
            [&](const oneapi::tbb::blocked_range<std::size_t>& range) { piece(range.begin(), range.end()); });
    });
}

}  // namespace rowmerge
