#include "frame/class.hpp"

namespace velkorin {

namespace {

Result<PyTypeObject*> create_type_object(const ClassRecord* record) {
    const ClassRecord& info = *record;
    for (std::size_t i = 0; i < info.method_count; ++i) info.methods[i] = method_def(info.method_rows[i]);
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

VELKORIN_COLD Error initialization_error(const ClassRecord& info, Error&& cause) {
    OwnedRef cause_exc = std::move(cause).into_exception();
    OwnedRef msg = OwnedRef::steal(PyUnicode_FromFormat("An error occurred while initializing class %s", info.name));
    if (!msg) api_call_failed();
    OwnedRef exc = OwnedRef::steal(call_one_arg(PyExc_RuntimeError, msg.get()));
    if (!exc) api_call_failed();
    PyException_SetCause(exc.get(), cause_exc.into_raw());
    return Error::fetched(std::move(exc));
}

[[noreturn]] VELKORIN_COLD void type_for_receiver_failed(const ClassRecord& info, Error&& error) {
    report_unraisable(std::move(error), nullptr);
    String msg("failed to create type object for `");
    msg += info.name;
    msg += '`';
    panic(msg);
}

}  // namespace

PyMethodDef method_def(const MethodRow& row) {
    if (row.noargs != nullptr) return {row.name, row.noargs, METH_NOARGS, row.doc};
    return {row.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(row.fastcall)),
            METH_FASTCALL | METH_KEYWORDS, row.doc};
}

Error borrow_error(BorrowKind kind) {
    return Error::deferred(PyExc_RuntimeError,
                           kind == BorrowKind::shared ? "Already mutably borrowed" : "Already borrowed");
}

Result<PyTypeObject*> class_type(const ClassRecord& info) {
    auto type = info.type.get_or_try_init<&create_type_object>(&info);
    if (!type) [[unlikely]] return initialization_error(info, std::move(type.error()));
    return type.value();
}

bool check_receiver(const ClassRecord& info, PyObject* self, Failure& failure) {
    PyTypeObject* type = info.type.get();
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
