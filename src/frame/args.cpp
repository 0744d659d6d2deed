#include "frame/args.hpp"

#include <charconv>
#include <cstring>

namespace velkorin {

namespace {

void append_number(String& out, std::size_t n) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    out.append(digits, end);
}

String display_name(const FunctionDescription& desc) {
    String out;
    if (desc.class_name) {
        out += desc.class_name;
        out += '.';
    }
    out += desc.name;
    out += "()";
    return out;
}

VELKORIN_COLD Error too_many_positional(const FunctionDescription& desc, std::size_t given) {
    String msg = display_name(desc);
    msg += " takes ";
    append_number(msg, desc.nparams);
    msg += " positional arguments but ";
    append_number(msg, given);
    msg += given == 1 ? " was given" : " were given";
    return Error::deferred(PyExc_TypeError, msg);
}

VELKORIN_COLD Error unexpected_keyword(const FunctionDescription& desc, PyObject* name) {
    OwnedRef shown = str_or_unprintable(name);
    String prefix = display_name(desc);
    OwnedRef msg = OwnedRef::steal(
        PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'", prefix.c_str(), shown.get()));
    if (!msg) api_call_failed();
    return Error::deferred(PyExc_TypeError, std::move(msg));
}

VELKORIN_COLD Error multiple_values(const FunctionDescription& desc, std::size_t index) {
    String msg = display_name(desc);
    msg += " got multiple values for argument '";
    msg += desc.params[index];
    msg += "'";
    return Error::deferred(PyExc_TypeError, msg);
}

VELKORIN_COLD Error missing_required(const FunctionDescription& desc, PyObject** slots) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < desc.nparams; ++i) missing += slots[i] == nullptr;
    String msg = display_name(desc);
    msg += " missing ";
    append_number(msg, missing);
    msg += missing == 1 ? " required positional argument: " : " required positional arguments: ";
    std::size_t written = 0;
    for (std::size_t i = 0; i < desc.nparams; ++i) {
        if (slots[i] != nullptr) continue;
        if (written > 0) {
            if (missing > 2) msg += ',';
            msg += written + 1 == missing ? " and " : " ";
        }
        msg += '\'';
        msg += desc.params[i];
        msg += '\'';
        ++written;
    }
    return Error::deferred(PyExc_TypeError, msg);
}

// Binds one keyword argument; the name matches a parameter only by equal UTF-8 bytes.
Result<void> bind_keyword(const FunctionDescription& desc, PyObject* name, PyObject* value, PyObject** slots) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) {
        discard_error();
        return unexpected_keyword(desc, name);
    }
    for (std::size_t i = 0; i < desc.nparams; ++i) {
        const char* param = desc.params[i];
        if (std::strlen(param) == static_cast<std::size_t>(size) && std::memcmp(param, utf8, size) == 0) {
            if (slots[i] != nullptr) return multiple_values(desc, i);
            slots[i] = value;
            return {};
        }
    }
    return unexpected_keyword(desc, name);
}

Result<void> check_missing(const FunctionDescription& desc, std::size_t nargs, PyObject** slots) {
    for (std::size_t i = nargs; i < desc.nparams; ++i) {
        if (slots[i] == nullptr) return missing_required(desc, slots);
    }
    return {};
}

}  // namespace

namespace {

Result<void> bind_fastcall(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** slots) {
    const auto given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < desc.nparams; ++i) slots[i] = i < given ? args[i] : nullptr;
    if (given > desc.nparams) return too_many_positional(desc, given);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = tuple_size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            auto bound = bind_keyword(desc, tuple_item(kwnames, k), args[nargs + k], slots);
            if (!bound) return bound;
        }
    }
    return check_missing(desc, given, slots);
}

Result<void> bind_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const auto given = static_cast<std::size_t>(tuple_size(args));
    for (std::size_t i = 0; i < desc.nparams; ++i) slots[i] = i < given ? tuple_item(args, i) : nullptr;
    if (given > desc.nparams) return too_many_positional(desc, given);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &name, &value)) {
            auto bound = bind_keyword(desc, name, value, slots);
            if (!bound) return bound;
        }
    }
    return check_missing(desc, given, slots);
}

bool succeeded(Result<void>&& bound, Failure& failure) {
    if (bound) return true;
    failure.emplace(std::move(bound.error()));
    return false;
}

}  // namespace

bool extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, PyObject** slots, Failure& failure) {
    return succeeded(bind_fastcall(desc, args, nargs, kwnames, slots), failure);
}

bool extract_arguments_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                                  PyObject** slots, Failure& failure) {
    return succeeded(bind_tuple_dict(desc, args, kwargs, slots), failure);
}

Error argument_extraction_error(const char* param, Error&& error) {
    OwnedRef exc = std::move(error).into_exception();
    if (!Py_IS_TYPE(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        return Error::fetched(std::move(exc));
    }
    OwnedRef text = str_or_unprintable(exc.get());
    OwnedRef msg = OwnedRef::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!msg) api_call_failed();
    OwnedRef wrapped = OwnedRef::steal(call_one_arg(PyExc_TypeError, msg.get()));
    if (!wrapped) api_call_failed();
    PyException_SetCause(wrapped.get(), PyException_GetCause(exc.get()));
    return Error::fetched(std::move(wrapped));
}

Error cast_error(PyObject* obj, const char* target) {
    OwnedRef qualname = OwnedRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    OwnedRef msg;
    if (qualname) {
        msg = OwnedRef::steal(
            PyUnicode_FromFormat("'%U' object cannot be cast as '%s'", qualname.get(), target));
    } else {
        discard_error();
        msg = OwnedRef::steal(
            PyUnicode_FromFormat("'<failed to extract type name>' object cannot be cast as '%s'", target));
    }
    if (!msg) api_call_failed();
    return Error::deferred(PyExc_TypeError, std::move(msg));
}

}  // namespace velkorin

