#include "frame/once.hpp"

namespace velkorin {

namespace {
// Its address tells threads apart.
thread_local const char this_thread = 0;
}  // namespace

Result<PyObject*> RawOnceCell::initialize(Result<PyObject*> (*init)(void*), void* context) {
    if (owner_.load(std::memory_order_relaxed) == &this_thread) return run(init, context);
    PyThreadState* state = PyEval_SaveThread();
    mutex_.lock();
    std::lock_guard<std::mutex> held(mutex_, std::adopt_lock);
    PyEval_RestoreThread(state);
    if (PyObject* v = get()) return v;
    owner_.store(&this_thread, std::memory_order_relaxed);
    struct ClearOwner {
        std::atomic<const char*>& owner;
        ~ClearOwner() { owner.store(nullptr, std::memory_order_relaxed); }
    } clear{owner_};
    return run(init, context);
}

// Runs the initialiser and stores its value, unless a re-entrant call on this
// thread stored one first; the value that lost is dropped.
Result<PyObject*> RawOnceCell::run(Result<PyObject*> (*init)(void*), void* context) {
    Result<PyObject*> made = init(context);
    if (!made) return std::move(made.error());
    if (PyObject* v = get()) {
        drop(OwnedRef::steal(made.value()));
        return v;
    }
    value_.store(made.value(), std::memory_order_release);
    return made.value();
}

}  // namespace velkorin
