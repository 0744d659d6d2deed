// Binding of call arguments to declared parameters, and the argument errors.
//
// Every parameter of the module is required and may be given by position or
// by keyword; no callable takes extra positional or keyword arguments.
// Binding fills one slot per parameter with a borrowed reference (the
// interpreter keeps the arguments alive for the call) and allocates nothing
// when it succeeds.
#pragma once

#include "frame/error.hpp"

#include <cstddef>

namespace velkorin {

struct FunctionDescription {
    const char* class_name;  // null for module functions
    const char* name;
    const char* const* params;
    std::size_t nparams;
};

// Vector calling convention: args holds nargs positional arguments followed
// by the values of the keywords named in kwnames (null when there are none).
Result<void> extract_arguments_fastcall_general(const FunctionDescription& desc, PyObject* const* args,
                                                Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

inline Result<void> extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args,
                                               Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == desc.nparams) [[likely]] {
        for (std::size_t i = 0; i < desc.nparams; ++i) slots[i] = args[i];
        return {};
    }
    return extract_arguments_fastcall_general(desc, args, nargs, kwnames, slots);
}

// Tuple-and-dictionary convention of tp_new; kwargs may be null.
Result<void> extract_arguments_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                                          PyObject** slots);

// Names the parameter in a conversion failure: an exception of exactly type
// TypeError becomes "argument '<param>': <message>"; anything else is returned
// unchanged.
[[gnu::cold]] Error argument_extraction_error(const char* param, Error&& error);

// "'<qualname of obj's type>' object cannot be cast as '<target>'".
[[gnu::cold]] Error cast_error(PyObject* obj, const char* target);

}  // namespace velkorin
