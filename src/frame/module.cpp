#include "frame/module.hpp"

namespace velkorin {

namespace {

constexpr const char subinterpreter_message[] =
    "velkorin does not yet support subinterpreters, see "
    "https://docs.python.org/3/howto/isolating-extensions.html";

OnceCell<PyObject*> all_name_cell;
OnceCell<PyObject*> name_name_cell;

Result<PyObject*> intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) api_call_failed();
    return s;
}

PyObject* interned(OnceCell<PyObject*>& cell, const char* text) {
    auto made = cell.get_or_try_init<&intern>(text);
    return made.value();
}

// The module's __all__ list, created when the module has none.
Result<OwnedRef> all_list(PyObject* module) {
    PyObject* all_name = interned(all_name_cell, "__all__");
    OwnedRef all = OwnedRef::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        Error error = fetch_error();
        if (!error.matches(PyExc_AttributeError)) return error;
        all = OwnedRef::steal(PyList_New(0));
        if (!all) api_call_failed();
        if (PyObject_SetAttr(module, all_name, all.get()) < 0) return fetch_error();
    }
    if (!PyList_Check(all.get())) return cast_error(all.get(), "list");
    return all;
}

Result<void> add_object(PyObject* module, PyObject* name, PyObject* value) {
    auto all = all_list(module);
    if (!all) return std::move(all.error());
    if (PyList_Append(all.value().get(), name) < 0) panic("could not append __name__ to __all__");
    if (PyObject_SetAttr(module, name, value) < 0) return fetch_error();
    return {};
}

Result<void> add_function(PyObject* module, PyObject* function) {
    OwnedRef name = OwnedRef::steal(PyObject_GetAttr(function, interned(name_name_cell, "__name__")));
    if (!name) return fetch_error();
    if (!PyUnicode_Check(name.get())) return cast_error(name.get(), "str");
    return add_object(module, name.get(), function);
}

Result<void> add_class(PyObject* module, const ClassRecord& info) {
    auto type = class_type(info);
    if (!type) return std::move(type.error());
    OwnedRef name = OwnedRef::steal(PyUnicode_FromString(info.name));
    if (!name) api_call_failed();
    return add_object(module, name.get(), reinterpret_cast<PyObject*>(type.value()));
}

Result<void> run_body(PyObject* module, const ModuleDefinition& m) {
    for (std::size_t i = 0; i < m.functions.count; ++i) m.functions.defs[i] = method_def(m.functions.rows[i]);
    for (std::size_t i = 0; i < m.functions.count; ++i) {
        OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
        if (!module_name) return fetch_error();
        OwnedRef function = OwnedRef::steal(PyCMethod_New(&m.functions.defs[i], module, module_name.get(), nullptr));
        if (!function) return fetch_error();
        if (auto added = add_function(module, function.get()); !added) return added;
    }
    for (const ClassRecord* cls : m.classes) {
        if (auto added = add_class(module, *cls); !added) return added;
    }
    return {};
}

Result<PyObject*> create_module(ModuleDefinition* m) {
    OwnedRef module = OwnedRef::steal(PyModule_Create2(&m->def, PYTHON_API_VERSION));
    if (!module) return fetch_error();
    if (auto body = run_body(module.get(), *m); !body) return std::move(body.error());
    return module.into_raw();
}

Result<PyObject*> make_module(ModuleDefinition& m) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return fetch_error();
    std::int64_t expected = -1;
    if (!m.interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        return Error::deferred(PyExc_ImportError, subinterpreter_message);
    }
    auto cell = m.module.get_or_try_init<&create_module>(&m);
    if (!cell) return std::move(cell.error());
    return Py_NewRef(cell.value());
}

}  // namespace

PyObject* initialize_module(ModuleDefinition& module) {
    return trampoline([&](Failure& failure) -> PyObject* {
        auto made = make_module(module);
        if (made) return made.value();
        failure.emplace(std::move(made.error()));
        return nullptr;
    });
}

}  // namespace velkorin
