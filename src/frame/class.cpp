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
    if (info.hands_over) register_handing_over_type(reinterpret_cast<PyTypeObject*>(type));
    return reinterpret_cast<PyTypeObject*>(type);
}

[[gnu::cold]] Error initialization_error(const ClassInfo& info, Error&& cause) {
    OwnedRef cause_exc = std::move(cause).into_exception();
    OwnedRef msg = OwnedRef::steal(PyUnicode_FromFormat("An error occurred while initializing class %s", info.name));
    if (!msg) api_call_failed();
    OwnedRef exc = OwnedRef::steal(PyObject_CallOneArg(PyExc_RuntimeError, msg.get()));
    if (!exc) api_call_failed();
    PyException_SetCause(exc.get(), cause_exc.release());
    return Error::fetched(std::move(exc));
}

[[noreturn, gnu::cold]] void type_for_receiver_failed(const ClassInfo& info, Error&& error) {
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
    allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
    PyObject* self = alloc(subtype, 0);
    if (self == nullptr) [[unlikely]] failure.emplace(fetch_error());
    return self;
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    freefunc free = type->tp_free;
    if (free == nullptr) [[unlikely]] panic("PyBaseObject_Type should have tp_free");
    free(self);
    Py_DECREF(type);
}

}  // namespace velkorin
