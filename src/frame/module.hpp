// Module creation and registration.
//
// The module uses single-phase initialisation: the first PyInit call in a
// process creates the module object and registers the functions, then the
// classes; every later call returns that same object. A second interpreter
// is refused.
#pragma once

#include "frame/class.hpp"

#include <span>

namespace velkorin {

// A module's function table and the rows to write into it.
struct FunctionTable {
    PyMethodDef* defs;
    const MethodRow* rows;
    std::size_t count;
};

// The module's functions, in registration order:
//
//   struct Functions final : ModuleFunctions<Functions,
//       Def<"merge_sort", &merge_sort, "v">, ...> {};
template <class Self, class... Defs>
struct ModuleFunctions : Declares<Defs...> {
    static_assert((!Defs::is_method && ...), "a module function must be a free function");
    static constexpr std::size_t count = sizeof...(Defs);
    static consteval auto method_rows() {
        return std::array<MethodRow, sizeof...(Defs)>{method_row<Self, Defs::function>()...};
    }
    static constexpr const char* class_name() { return nullptr; }
};

// The module's storage for a function list, keyed by the list alone.
template <class Functions>
inline constexpr auto function_method_rows = Functions::method_rows();
// Zero until the module body writes them; the function objects keep
// pointing at them.
template <class Functions>
inline constinit PyMethodDef function_methods[Functions::count]{};

template <class Functions>
inline constexpr FunctionTable function_table{function_methods<Functions>, function_method_rows<Functions>.data(),
                                              Functions::count};

// A module: its definition, then its functions and its classes, each in
// registration order (which is also the order of __all__).
struct ModuleDefinition {
    PyModuleDef def;
    FunctionTable functions;
    std::span<const ClassRecord* const> classes;
    std::atomic<std::int64_t> interpreter_id{-1};
    OnceCell<PyObject*> module{};
};

// The body of PyInit_<name>: a new reference to the module, or null with an
// exception set.
PyObject* initialize_module(ModuleDefinition& module);

}  // namespace velkorin
