// PyBTreeSet: an ordered set of 64-bit integers.
#include "lib/classes.hpp"
#include "core/btree_set.hpp"

namespace velkorin::lib {

class BTreeSet {
public:
    static constexpr bool holds_references = false;

    bool insert(std::int64_t v) { return tree_.insert(v); }
    bool contains(std::int64_t v) const { return tree_.contains(v); }
    bool remove(std::int64_t v) { return tree_.remove(v); }
    // Filled during the walk: the walk's node loads overlap the making of
    // the int objects.
    OwnedRef to_list() const {
        return int_list_from(tree_.size(), [&](auto&& put) { tree_.for_each(put); });
    }

private:
    core::BTreeSet<std::int64_t> tree_;
};

struct PyBTreeSet final : PyClass<PyBTreeSet, "PyBTreeSet", BTreeSet,
    Def<"insert", &BTreeSet::insert, "v">,
    Def<"contains", &BTreeSet::contains, "v">,
    Def<"remove", &BTreeSet::remove, "v">,
    Def<"to_list", &BTreeSet::to_list>> {};

const ClassRecord& py_btree_set_class = class_record<PyBTreeSet>;

}  // namespace velkorin::lib
