// A once-only cell for process-wide values created on first need (the module,
// the class type objects, the PanicException type, cached names and classes).
//
// The initialiser runs on one thread at a time. A thread that reaches the
// slow path releases the interpreter lock while it waits for the cell's mutex
// and takes the lock back before it initialises or reads the value, so the
// initialising thread may run Python code (and let other threads run) without
// a deadlock. If that Python code comes back to the same cell on the same
// thread (an import hook, a finalizer), the inner call runs the initialiser
// itself instead of waiting for itself: the first value stored wins, and a
// value that lost is released. A failed initialiser leaves the cell empty for
// a later attempt. The value is never destroyed: it lives until the process
// ends.
//
// Values are strong references: PyObject*, PyTypeObject* or OwnedRef.
#pragma once

#include "frame/error.hpp"

#include <atomic>
#include <mutex>
#include <new>
#include <type_traits>

namespace velkorin {

namespace detail {
// Its address tells threads apart.
inline thread_local const char this_thread = 0;
}  // namespace detail

template <class T>
class OnceCell {
public:
    constexpr OnceCell() noexcept = default;
    OnceCell(const OnceCell&) = delete;
    OnceCell& operator=(const OnceCell&) = delete;

    // The value, or null while the cell is empty.
    T* get() noexcept { return ready_.load(std::memory_order_acquire) ? value_ptr() : nullptr; }

    // Requires: the calling thread holds the interpreter lock.
    // `init(context)` makes the value; a plain function keeps the names of
    // the cells' slow paths short.
    template <class Context>
    Result<T*> get_or_try_init(Result<T> (*init)(Context*), Context* context) {
        if (T* v = get()) return v;
        return initialize(Initializer{reinterpret_cast<void (*)()>(init), const_cast<void*>(static_cast<const void*>(context)),
                                      &call<Context>});
    }

    Result<T*> get_or_try_init(Result<T> (*init)()) {
        if (T* v = get()) return v;
        return initialize(Initializer{reinterpret_cast<void (*)()>(init), nullptr, &call_without_context});
    }

private:
    struct Initializer {
        void (*function)();
        void* context;
        Result<T> (*call)(const Initializer&);
    };

    template <class Context>
    static Result<T> call(const Initializer& init) {
        return reinterpret_cast<Result<T> (*)(Context*)>(init.function)(static_cast<Context*>(init.context));
    }
    static Result<T> call_without_context(const Initializer& init) {
        return reinterpret_cast<Result<T> (*)()>(init.function)();
    }

    VELKORIN_NOINLINE Result<T*> initialize(Initializer init) {
        if (owner_.load(std::memory_order_relaxed) == &detail::this_thread) return run(init);
        PyThreadState* state = PyEval_SaveThread();
        mutex_.lock();
        std::lock_guard<std::mutex> held(mutex_, std::adopt_lock);
        PyEval_RestoreThread(state);
        if (T* v = get()) return v;
        owner_.store(&detail::this_thread, std::memory_order_relaxed);
        struct ClearOwner {
            std::atomic<const char*>& owner;
            ~ClearOwner() { owner.store(nullptr, std::memory_order_relaxed); }
        } clear{owner_};
        return run(init);
    }

    // Runs the initialiser and stores its value, unless a re-entrant call on
    // this thread stored one first.
    Result<T*> run(Initializer init) {
        Result<T> made = init.call(init);
        if (!made) return std::move(made.error());
        if (T* v = get()) {
            release(std::move(made.value()));
            return v;
        }
        ::new (static_cast<void*>(storage_)) T(std::move(made.value()));
        ready_.store(true, std::memory_order_release);
        return value_ptr();
    }

    static void release(T&& value) {
        if constexpr (std::is_pointer_v<T>) {
            Py_DECREF(reinterpret_cast<PyObject*>(value));
        } else {
            Py_DECREF(value.release());
        }
    }

    T* value_ptr() noexcept { return std::launder(reinterpret_cast<T*>(storage_)); }

    std::atomic<bool> ready_{false};
    std::atomic<const char*> owner_{nullptr};  // the thread running the initialiser, if any
    std::mutex mutex_;
    alignas(T) unsigned char storage_[sizeof(T)]{};
};

}  // namespace velkorin
