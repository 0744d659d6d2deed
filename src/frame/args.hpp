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

// Binding for the vector calling convention: args holds nargs positional
// arguments followed by the values of the keywords named in kwnames (null
// when there are none). The entries call it for every shape but the usual
// one (exactly the parameters, by position), which needs no binding at all.
// On failure the binding error is left in `failure`.
VELKORIN_NOINLINE bool extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args,
                                                  Py_ssize_t nargs, PyObject* kwnames, PyObject** slots,
                                                  Failure& failure);

// Tuple-and-dictionary convention of tp_new; kwargs may be null.
bool extract_arguments_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                                  PyObject** slots, Failure& failure);

// Names the parameter in a conversion failure: an exception of exactly type
// TypeError becomes "argument '<param>': <message>"; anything else is returned
// unchanged.
VELKORIN_COLD Error argument_extraction_error(const char* param, Error&& error);

// "'<qualname of obj's type>' object cannot be cast as '<target>'".
VELKORIN_COLD Error cast_error(PyObject* obj, const char* target);

}  // namespace velkorin
