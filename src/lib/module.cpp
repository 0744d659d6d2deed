// The module `velkorin`: its definition and registration lists. Functions come
// first, then classes, each in the order in which they are listed here; that
// order is also the order of the module's __all__.
#include "frame/module.hpp"
#include "lib/algorithms.hpp"
#include "lib/classes.hpp"

namespace velkorin::lib {


struct Functions final : ModuleFunctions<Functions,
    Def<"bubble_sort", &bubble_sort, "v">,
    Def<"selection_sort", &selection_sort, "v">,
    Def<"quick_sort", &quick_sort, "v">,
    Def<"merge_sort", &merge_sort, "v">,
    Def<"linear_search", &linear_search, "v", "target">,
    Def<"binary_search", &binary_search, "v", "target">> {};

const ClassRecord* const classes[] = {
    &py_linked_list_class,
    &py_hash_map_class,
    &py_hash_set_class,
    &py_btree_set_class,
    &py_queue_class,
    &py_priority_queue_class,
};

ModuleDefinition velkorin_module{
    .def = {PyModuleDef_HEAD_INIT, "velkorin", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr},
    .functions = function_table<Functions>,
    .classes = classes,
};

}  // namespace velkorin::lib

PyMODINIT_FUNC PyInit_velkorin() { return velkorin::initialize_module(velkorin::lib::velkorin_module); }
