// The module's classes, as registered by the module body.
#pragma once

#include "frame/class.hpp"

namespace velkorin {

extern const ClassInfo& py_linked_list_class;
extern const ClassInfo& py_hash_map_class;
extern const ClassInfo& py_hash_set_class;
extern const ClassInfo& py_btree_set_class;
extern const ClassInfo& py_queue_class;
extern const ClassInfo& py_priority_queue_class;

}  // namespace velkorin
