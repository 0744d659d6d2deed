// The module's classes, as registered by the module body.
#pragma once

#include "frame/class.hpp"

namespace velkorin::lib {

extern const ClassRecord& py_linked_list_class;
extern const ClassRecord& py_hash_map_class;
extern const ClassRecord& py_hash_set_class;
extern const ClassRecord& py_btree_set_class;
extern const ClassRecord& py_queue_class;
extern const ClassRecord& py_priority_queue_class;

}  // namespace velkorin::lib
