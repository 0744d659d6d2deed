// PyBTreeSet: an ordered set of 64-bit integers.
#include "lib/classes.hpp"
#include "lib/core/btree_set.hpp"

namespace velkorin {

namespace {

class BTreeSetContents {
public:
    bool insert(std::int64_t v) { return tree_.insert(v); }
    bool contains(std::int64_t v) const { return tree_.contains(v); }
    bool remove(std::int64_t v) { return tree_.remove(v); }
    // The list is filled during the walk, with no intermediate vector: the
    // walk's node loads overlap the making of the int objects.
    OwnedRef to_list() const {
        OwnedRef list = new_list(tree_.size());
        PyObject** slot = PySequence_Fast_ITEMS(list.get());
        tree_.for_each([&](std::int64_t k) { *slot++ = int_object(k).release(); });
        return list;
    }

private:
    BTreeSet<std::int64_t> tree_;
};

using BTreeSetClass = PyClass<"PyBTreeSet", BTreeSetContents,
    Def<"insert", &BTreeSetContents::insert, "v">,
    Def<"contains", &BTreeSetContents::contains, "v">,
    Def<"remove", &BTreeSetContents::remove, "v">,
    Def<"to_list", &BTreeSetContents::to_list>>;

}  // namespace

const ClassInfo& py_btree_set_class = BTreeSetClass::info;

}  // namespace velkorin
