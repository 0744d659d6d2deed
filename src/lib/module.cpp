// The module `velkorin`: its definition and registration list. Functions come
// first, then classes, each in the order in which they are listed here; that
// order is also the order of the module's __all__.
#include "frame/module.hpp"
#include "lib/algorithms.hpp"
#include "lib/classes.hpp"

namespace velkorin {

namespace {

const Registration registrations[] = {
    function<Def<"bubble_sort", &bubble_sort, "v">>(),
    function<Def<"selection_sort", &selection_sort, "v">>(),
    function<Def<"quick_sort", &quick_sort, "v">>(),
    function<Def<"merge_sort", &merge_sort, "v">>(),
    function<Def<"linear_search", &linear_search, "v", "target">>(),
    function<Def<"binary_search", &binary_search, "v", "target">>(),
    class_(py_linked_list_class),
    class_(py_hash_map_class),
    class_(py_hash_set_class),
    class_(py_btree_set_class),
    class_(py_queue_class),
    class_(py_priority_queue_class),
};

ModuleDefinition velkorin_module{
    .def = {PyModuleDef_HEAD_INIT, "velkorin", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr},
    .registrations = registrations,
    .interpreter_id{-1},
    .module{},
};

}  // namespace

}  // namespace velkorin

PyMODINIT_FUNC PyInit_velkorin() { return velkorin::initialize_module(velkorin::velkorin_module); }
