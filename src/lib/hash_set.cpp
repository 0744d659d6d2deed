// PyHashSet: an unordered set of 64-bit integers.
#include "lib/classes.hpp"
#include "lib/core/hash_set.hpp"

namespace velkorin {

namespace {

// Zero-filled memory is an empty set too (see hash_set.hpp): it takes its key
// at the first insertion instead of here.
class Set {
public:
    static constexpr bool holds_references = false;

    Set() noexcept : set_(next_hash_key()) {}

    bool insert(std::int64_t v) { return set_.insert(v); }
    bool contains(std::int64_t v) const { return set_.contains(v); }
    bool remove(std::int64_t v) { return set_.remove(v); }
    IntVec to_list() const { return set_.to_vector(); }

private:
    HashSet set_;
};

struct PyHashSet final : PyClass<PyHashSet, "PyHashSet", Set,
    Def<"insert", &Set::insert, "v">,
    Def<"contains", &Set::contains, "v">,
    Def<"remove", &Set::remove, "v">,
    Def<"to_list", &Set::to_list>> {};

}  // namespace

const ClassRecord& py_hash_set_class = class_record<PyHashSet>;

}  // namespace velkorin
