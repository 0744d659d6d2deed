// A once-only cell for process-wide values created on first need (the module,
// the class type objects, the PanicException type, cached names and classes).
//
// The initialiser runs on exactly one thread. A thread that reaches the slow
// path releases the interpreter lock while it waits for the cell's mutex and
// takes the lock back before it initialises or reads the value, so the
// initialising thread may run Python code (and let other threads run) without
// a deadlock. A failed initialiser leaves the cell empty for a later attempt.
// The value is never destroyed: it lives until the process ends.
#pragma once

#include "frame/error.hpp"

#include <atomic>
#include <mutex>
#include <new>

namespace velkorin {

template <class T>
class OnceCell {
public:
    constexpr OnceCell() noexcept = default;
    OnceCell(const OnceCell&) = delete;
    OnceCell& operator=(const OnceCell&) = delete;

    // The value, or null while the cell is empty.
    T* get() noexcept {
        return ready_.load(std::memory_order_acquire) ? value_ptr() : nullptr;
    }

    // Requires: the calling thread holds the interpreter lock.
    // `init` returns Result<T>.
    template <class Init>
    Result<T*> get_or_try_init(Init&& init) {
        if (T* v = get()) return v;
        return initialize(init);
    }

private:
    template <class Init>
    [[gnu::noinline]] Result<T*> initialize(Init& init) {
        PyThreadState* state = PyEval_SaveThread();
        mutex_.lock();
        std::lock_guard<std::mutex> held(mutex_, std::adopt_lock);
        PyEval_RestoreThread(state);
        if (T* v = get()) return v;
        auto made = init();
        if (!made) return std::move(made.error());
        ::new (static_cast<void*>(storage_)) T(std::move(made.value()));
        ready_.store(true, std::memory_order_release);
        return value_ptr();
    }

    T* value_ptr() noexcept { return std::launder(reinterpret_cast<T*>(storage_)); }

    std::atomic<bool> ready_{false};
    std::mutex mutex_;
    alignas(T) unsigned char storage_[sizeof(T)]{};
};

}  // namespace velkorin
