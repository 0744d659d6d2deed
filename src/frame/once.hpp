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
// Values are strong references held as one atomic pointer (PyObject*,
// PyTypeObject*), null while the cell is empty: reading a filled cell is one
// load, which is what a method's receiver check pays for its class's type.
#pragma once

#include "frame/error.hpp"

#include <atomic>
#include <mutex>
#include <new>
#include <type_traits>

namespace velkorin {

// The untyped cell: the value is a PyObject* seen through the typed
// wrapper below, and the slow path is compiled once, in once.cpp.
class RawOnceCell {
public:
    constexpr RawOnceCell() noexcept = default;
    RawOnceCell(const RawOnceCell&) = delete;
    RawOnceCell& operator=(const RawOnceCell&) = delete;

    PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // Makes the value with init(context) unless the cell is filled.
    VELKORIN_NOINLINE Result<PyObject*> initialize(Result<PyObject*> (*init)(void*), void* context);

private:
    Result<PyObject*> run(Result<PyObject*> (*init)(void*), void* context);

    std::atomic<PyObject*> value_{nullptr};
    std::atomic<const char*> owner_{nullptr};  // the thread running the initialiser, if any
    std::mutex mutex_;
};

template <class T>
class OnceCell {
    static_assert(std::is_pointer_v<T>, "a once-cell holds a strong reference as a pointer");

public:
    constexpr OnceCell() noexcept = default;

    // The value, or null while the cell is empty.
    T get() const noexcept { return reinterpret_cast<T>(raw_.get()); }

    // Requires: the calling thread holds the interpreter lock.
    // `Init(context)` makes the value, never null; the initialiser is a
    // template argument so that its adapter is a plain function, which keeps
    // the names of the cells' slow paths short.
    template <auto Init, class Context>
    Result<T> get_or_try_init(Context* context) {
        if (T v = get()) return v;
        return typed(raw_.initialize(&adapt<Init, Context>, const_cast<void*>(static_cast<const void*>(context))));
    }

    template <auto Init>
    Result<T> get_or_try_init() {
        if (T v = get()) return v;
        return typed(raw_.initialize(&adapt<Init, void>, nullptr));
    }

private:
    template <auto Init, class Context>
    static Result<PyObject*> adapt(void* context) {
        Result<T> made = [&] {
            if constexpr (std::is_void_v<Context>) {
                return Init();
            } else {
                return Init(static_cast<Context*>(context));
            }
        }();
        if (!made) return std::move(made.error());
        return reinterpret_cast<PyObject*>(made.value());
    }

    static Result<T> typed(Result<PyObject*>&& r) {
        if (!r) return std::move(r.error());
        return reinterpret_cast<T>(r.value());
    }

    RawOnceCell raw_;
};

}  // namespace velkorin
