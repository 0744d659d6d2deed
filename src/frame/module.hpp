// Module creation and registration.
//
// The module uses single-phase initialisation: the first PyInit call in a
// process creates the module object and runs the registration list; every
// later call returns that same object. A second interpreter is refused.
#pragma once

#include "frame/class.hpp"

#include <span>

namespace velkorin {

// One entry of the module's registration list: a function or a class.
struct Registration {
    PyMethodDef* function = nullptr;
    const ClassInfo* cls = nullptr;
};

template <class D>
inline PyMethodDef function_def = D::method_def(nullptr);

template <class D>
constexpr Registration function() {
    static_assert(!D::is_method, "a module function must be a free function");
    return {&function_def<D>, nullptr};
}

constexpr Registration class_(const ClassInfo& info) { return {nullptr, &info}; }

struct ModuleDefinition {
    PyModuleDef def;
    std::span<const Registration> registrations;
    std::atomic<std::int64_t> interpreter_id{-1};
    OnceCell<OwnedRef> module;
};

// The body of PyInit_<name>: a new reference to the module, or null with an
// exception set.
PyObject* initialize_module(ModuleDefinition& module);

}  // namespace velkorin
