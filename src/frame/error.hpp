// Error values, panics and the rules by which they become Python exceptions.
//
// An Error is the result of a failed operation. It is never raised where it
// arises: it travels up as a value and only a trampoline raises it. It is
// either deferred (an exception type and a message; the exception object is
// created when raised) or fetched (an exception object taken out of the
// interpreter at the point of failure).
//
// A Panic marks a broken internal assumption. It is a C++ exception of the
// module's own that abandons the running body; the nearest trampoline turns it
// into a PanicException. Any other C++ exception that reaches a trampoline is
// treated as a panic without a text.
#pragma once

#include "lib/core/memory.hpp"
#include "frame/object.hpp"

#include <optional>
#include <string_view>

namespace velkorin {

// Returns a borrowed exception type, creating it on first use if need be.
using TypeGetter = PyObject* (*)();

class Error {
public:
    // Deferred error of a built-in exception type (PyExc_TypeError, ...).
    static Error deferred(PyObject* type, std::string_view message);
    // Deferred error whose message is a Python str (text that may not be UTF-8).
    static Error deferred(PyObject* type, OwnedRef message);
    // Deferred error of a type created on first use.
    static Error deferred(TypeGetter type, std::string_view message);
    // The exception the interpreter had raised.
    static Error fetched(OwnedRef exception);

    Error(Error&&) noexcept = default;
    Error& operator=(Error&&) noexcept = default;

    // Sets this error as the interpreter's current exception.
    void restore() &&;
    // The exception object, created now if the error is deferred.
    OwnedRef into_exception() &&;
    // Whether the exception is an instance of `type` (or of a subclass).
    bool matches(PyObject* type) const;

private:
    Error() = default;
    PyObject* exception_type() const;

    PyObject* type_ = nullptr;
    TypeGetter lazy_type_ = nullptr;
    String text_;
    OwnedRef message_;    // deferred with a str message
    OwnedRef exception_;  // fetched
};

// The value of a successful operation, or its Error.
template <class T>
class [[nodiscard]] Result {
public:
    using value_type = T;

    Result(T value) : ok_(true) { ::new (static_cast<void*>(&value_)) T(std::move(value)); }
    Result(Error error) : ok_(false) { ::new (static_cast<void*>(&error_)) Error(std::move(error)); }
    Result(Result&& other) noexcept : ok_(other.ok_) {
        if (ok_) {
            ::new (static_cast<void*>(&value_)) T(std::move(other.value_));
        } else {
            ::new (static_cast<void*>(&error_)) Error(std::move(other.error_));
        }
    }
    Result& operator=(Result&&) = delete;
    ~Result() {
        if (ok_) {
            value_.~T();
        } else {
            error_.~Error();
        }
    }

    bool ok() const noexcept { return ok_; }
    explicit operator bool() const noexcept { return ok_; }
    // Requires: ok().
    T& value() noexcept { return value_; }
    // Requires: !ok().
    Error& error() noexcept { return error_; }

private:
    union {
        T value_;
        Error error_;
    };
    bool ok_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() noexcept = default;
    Result(Error error) : error_(std::move(error)) {}

    bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    Error& error() noexcept { return *error_; }

private:
    std::optional<Error> error_;
};

template <class T>
inline constexpr bool is_result_v = false;
template <class T>
inline constexpr bool is_result_v<Result<T>> = true;

struct Panic {
    String message;
};

[[noreturn]] VELKORIN_COLD void panic(std::string_view message);

// A call that creates an object the code counts on (a message, a list, an int
// result) returned null: print the pending exception, then panic.
[[noreturn]] VELKORIN_COLD void api_call_failed();

// Takes the pending exception out of the interpreter. A PanicException coming
// back from Python code is resumed as a panic, never turned into an Error.
VELKORIN_COLD Error fetch_error();

// Drops the pending exception (where an error is ignored by design); a
// PanicException still goes on as a panic, as in fetch_error().
void discard_error();

// The process-wide PanicException type (created on first use).
PyObject* panic_exception_type();

// The deferred PanicException for a panic with this text.
Error panic_error(std::string_view message);

// Text of str(obj); on failure the failure is reported as unraisable and the
// "<unprintable ...>" fallback is returned.
OwnedRef str_or_unprintable(PyObject* obj);

}  // namespace velkorin
