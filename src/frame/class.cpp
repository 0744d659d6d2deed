#include "frame/class.hpp"

namespace velkorin {

namespace {

Result<PyTypeObject*> create_type_object(const ClassInfo* class_info) {
    const ClassInfo& info = *class_info;
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(info.doc)},
        {Py_tp_new, reinterpret_cast<void*>(info.tp_new)},
        {Py_tp_methods, info.methods},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(info.tp_dealloc)},
        {0, nullptr},
    };
    PyType_Spec spec{info.type_name, info.basic_size, 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return fetch_error();
    return reinterpret_cast<PyTypeObject*>(type);
}

VELKORIN_COLD Error initialization_error(const ClassInfo& info, Error&& cause) {
    OwnedRef cause_exc = std::move(cause).into_exception();
    OwnedRef msg = OwnedRef::steal(PyUnicode_FromFormat("An error occurred while initializing class %s", info.name));
    if (!msg) api_call_failed();
    OwnedRef exc = OwnedRef::steal(call_one_arg(PyExc_RuntimeError, msg.get()));
    if (!exc) api_call_failed();
    PyException_SetCause(exc.get(), cause_exc.release());
    return Error::fetched(std::move(exc));
}

// Freeing a container releases its elements, and an element that is itself a
// container is freed inside that release: a chain of containers nests the
// deallocations as deep as it is long. Beyond this depth they are deferred
// to a per-thread list, which the outermost deallocation drains, so the
// stack stays bounded. (The interpreter's own trashcan serves only objects
// that the cyclic collector tracks, which these are not.)
constexpr unsigned max_deallocation_depth = 50;

// Trivially destructible and constant-initialised, so a thread reaches it
// without a first-use check. The deferred list is allocated when it is first
// needed and freed once it has been drained.
struct DeallocationNesting {
    unsigned depth;
    bool draining;
    std::size_t count;
    std::size_t capacity;
    PyObject** deferred;

    void defer(PyObject* self) noexcept {
        if (count == capacity) {
            capacity = capacity == 0 ? 64 : 2 * capacity;
            deferred = static_cast<PyObject**>(reallocate_bytes(deferred, array_bytes<PyObject*>(capacity)));
        }
        deferred[count++] = self;
    }
};

constinit thread_local DeallocationNesting nesting{};

// Sets a value for a scope and puts the old one back, also when a panic or
// a forced unwind passes.
template <class T>
class Scoped {
public:
    Scoped(T& slot, T value) noexcept : slot_(slot), old_(slot) { slot_ = value; }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
    ~Scoped() { slot_ = old_; }

private:
    T& slot_;
    T old_;
};

[[noreturn]] VELKORIN_COLD void type_for_receiver_failed(const ClassInfo& info, Error&& error) {
    std::move(error).restore();
    PyErr_WriteUnraisable(nullptr);
    String msg("failed to create type object for `");
    msg += info.name;
    msg += '`';
    panic(msg);
}

}  // namespace

Error borrow_error(BorrowKind kind) {
    return Error::deferred(PyExc_RuntimeError,
                           kind == BorrowKind::shared ? "Already mutably borrowed" : "Already borrowed");
}

void deallocate(PyObject* self, void (*release)(PyObject*)) {
    DeallocationNesting& n = nesting;
    if (n.depth >= max_deallocation_depth) {
        n.defer(self);
        return;
    }
    {
        Scoped<unsigned> level(n.depth, n.depth + 1);
        release(self);
    }
    if (n.depth != 0 || n.draining || n.count == 0) return;
    {
        Scoped<bool> draining(n.draining, true);
        while (n.count > 0) {
            PyObject* next = n.deferred[--n.count];
            type_dealloc(Py_TYPE(next))(next);
        }
    }
    free_bytes(std::exchange(n.deferred, nullptr));
    n.capacity = 0;
}

Result<PyTypeObject*> class_type(const ClassInfo& info) {
    auto type = info.cell.get_or_try_init(&create_type_object, &info);
    if (!type) [[unlikely]] return initialization_error(info, std::move(type.error()));
    PyTypeObject* made = *type.value();
    info.slot->type.store(made, std::memory_order_release);
    return made;
}

bool check_receiver(const ClassSlot& cls, PyObject* self, Failure& failure) {
    const ClassInfo& info = *cls.info;
    PyTypeObject* type = cls.type.load(std::memory_order_acquire);
    if (type == nullptr) {
        auto made = class_type(info);
        if (!made) type_for_receiver_failed(info, std::move(made.error()));
        type = made.value();
    }
    if (PyType_IsSubtype(Py_TYPE(self), type)) return true;
    failure.emplace(cast_error(self, info.name));
    return false;
}

PyObject* allocate_instance(PyTypeObject* subtype, Failure& failure) {
    allocfunc alloc = type_alloc(subtype) != nullptr ? type_alloc(subtype) : PyType_GenericAlloc;
    PyObject* self = alloc(subtype, 0);
    if (self == nullptr) [[unlikely]] failure.emplace(fetch_error());
    return self;
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    freefunc free = type_free(type);
    if (free == nullptr) [[unlikely]] panic("PyBaseObject_Type should have tp_free");
    free(self);
    Py_DECREF(type);
}

}  // namespace velkorin
