#include "frame/error.hpp"

#include "frame/once.hpp"

#include <cstdio>

namespace velkorin {

Error Error::deferred(PyObject* type, std::string_view message) {
    Error e;
    e.type_ = type;
    e.text_.assign(message.data(), message.size());
    return e;
}

Error Error::deferred(PyObject* type, OwnedRef message) {
    Error e;
    e.type_ = type;
    e.message_ = std::move(message);
    return e;
}

Error Error::deferred(TypeGetter type, std::string_view message) {
    Error e;
    e.lazy_type_ = type;
    e.text_.assign(message.data(), message.size());
    return e;
}

Error Error::fetched(OwnedRef exception) {
    Error e;
    e.exception_ = std::move(exception);
    return e;
}

PyObject* Error::exception_type() const {
    if (exception_) return reinterpret_cast<PyObject*>(Py_TYPE(exception_.get()));
    return lazy_type_ ? lazy_type_() : type_;
}

bool Error::matches(PyObject* type) const {
    return PyErr_GivenExceptionMatches(exception_type(), type) != 0;
}

void Error::restore() && {
    if (exception_) {
        PyErr_SetRaisedException(exception_.into_raw());
        return;
    }
    PyObject* type = exception_type();
    if (!message_) {
        // Out of memory for the message: the MemoryError now pending is raised
        // in its place rather than ending the process.
        message_ = OwnedRef::steal(PyUnicode_FromStringAndSize(text_.data(), static_cast<Py_ssize_t>(text_.size())));
        if (!message_) return;
    }
    PyErr_SetObject(type, message_.get());
}

OwnedRef Error::into_exception() && {
    if (exception_) return std::move(exception_);
    std::move(*this).restore();
    OwnedRef exc = OwnedRef::steal(PyErr_GetRaisedException());
    if (!exc) panic("exception vanished while it was being created");
    return exc;
}

void panic(std::string_view message) {
    throw Panic{String(message.data(), message.size())};
}

void api_call_failed() {
    PyErr_Print();
    panic("Python API call failed");
}

namespace {

constexpr const char panic_exception_doc[] =
    "\n"
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

OnceCell<PyObject*> panic_exception_cell;

Result<PyObject*> create_panic_exception_type() {
    PyObject* type = PyErr_NewExceptionWithDoc("velkorin_runtime.PanicException", panic_exception_doc,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) {
        PyErr_Print();
        panic("Failed to initialize new exception type.");
    }
    return type;
}

}  // namespace

PyObject* panic_exception_type() {
    auto made = panic_exception_cell.get_or_try_init<&create_panic_exception_type>();
    return made.value();
}

Error panic_error(std::string_view message) {
    return Error::deferred(&panic_exception_type, message);
}

namespace {

bool is_panic_exception(PyObject* exc) {
    PyObject* panic_type = panic_exception_cell.get();
    return panic_type != nullptr && Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(panic_type));
}

// A PanicException came back from Python code: report it and go on as a panic.
[[noreturn]] void resume_panic(OwnedRef exc) {
    String message;
    OwnedRef text = OwnedRef::steal(PyObject_Str(exc.get()));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8) {
        message.assign(utf8, static_cast<std::size_t>(size));
    } else {
        PyErr_Clear();
        message = "Unwrapped panic from Python code";
    }
    drop(std::move(text));
    std::fputs("--- velkorin is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
    std::fputs("Python stack trace below:\n", stderr);
    PyErr_SetRaisedException(exc.into_raw());
    PyErr_PrintEx(0);
    throw Panic{std::move(message)};
}

}  // namespace

void report_unraisable(Error&& error, PyObject* obj) {
    std::move(error).restore();
    PyErr_WriteUnraisable(obj);
}

OwnedRef str_or_unprintable(PyObject* obj) {
    OwnedRef text = OwnedRef::steal(PyObject_Str(obj));
    if (text) return text;
    OwnedRef exc = OwnedRef::steal(PyErr_GetRaisedException());
    if (exc && is_panic_exception(exc.get())) resume_panic(std::move(exc));
    report_unraisable(Error::fetched(std::move(exc)), obj);
    OwnedRef name = OwnedRef::steal(PyType_GetName(Py_TYPE(obj)));
    if (name) {
        text = OwnedRef::steal(PyUnicode_FromFormat("<unprintable %U object>", name.get()));
    } else {
        discard_error();
        text = OwnedRef::steal(PyUnicode_FromString("<unprintable object>"));
    }
    if (!text) api_call_failed();
    return text;
}

Error fetch_error() {
    OwnedRef exc = OwnedRef::steal(PyErr_GetRaisedException());
    if (!exc) {
        return Error::deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    if (is_panic_exception(exc.get())) resume_panic(std::move(exc));
    return Error::fetched(std::move(exc));
}

void discard_error() {
    OwnedRef exc = OwnedRef::steal(PyErr_GetRaisedException());
    if (exc && is_panic_exception(exc.get())) resume_panic(std::move(exc));
    drop(std::move(exc));
}

}  // namespace velkorin
