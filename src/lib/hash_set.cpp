// PyHashSet: an unordered set of 64-bit integers.
#include "lib/classes.hpp"
#include "core/hash_set.hpp"

namespace velkorin::lib {

// Zero-filled memory is an empty set too (see hash_set.hpp): it takes its key
// at the first insertion instead of here.
class HashSet {
public:
    static constexpr bool holds_references = false;

    HashSet() noexcept : set_(core::next_hash_key()) {}

    bool insert(std::int64_t v) { return set_.insert(v); }
    bool contains(std::int64_t v) const { return set_.contains(v); }
    bool remove(std::int64_t v) { return set_.remove(v); }
    IntVec to_list() const { return set_.to_vector(); }

private:
    core::HashSet set_;
};

struct PyHashSet final : PyClass<PyHashSet, "PyHashSet", HashSet,
    Def<"insert", &HashSet::insert, "v">,
    Def<"contains", &HashSet::contains, "v">,
    Def<"remove", &HashSet::remove, "v">,
    Def<"to_list", &HashSet::to_list>> {};

const ClassRecord& py_hash_set_class = class_record<PyHashSet>;

}  // namespace velkorin::lib
