// PyHashMap: a hash map from str keys (stored as UTF-8 bytes) to Python objects.
#include "lib/classes.hpp"
#include "lib/core/hash_map.hpp"

namespace velkorin {

// Walks over the entries (the snapshot, its drain) touch each value's
// reference count, and the objects lie anywhere in memory.
template <>
struct HashMapValuePrefetch<OwnedRef> {
    static void ahead(const OwnedRef& v) noexcept { VELKORIN_PREFETCH_WRITE(v.get()); }
};

namespace {

// Zero-filled memory is an empty map too (see hash_map.hpp): it takes its key
// at the first insertion instead of here.
class Map {
public:
    Map() noexcept : map_(next_hash_key()) {}

    // The key's bytes are copied into the entry, so the argument's UTF-8 is
    // only borrowed. A replaced value is released before the method returns,
    // while the exclusive borrow is still held: its finalizer sees the map
    // as borrowed.
    void insert(StrView key, PyObject* value) {
        if (std::optional<OwnedRef> old = map_.insert(key.text, OwnedRef::borrow(value))) release(std::move(*old));
    }

    std::optional<OwnedRef> get(StrView key) const {
        const OwnedRef* value = map_.find(key.text);
        if (value == nullptr) return std::nullopt;
        return value->clone();
    }

    std::optional<OwnedRef> remove(StrView key) { return map_.remove(key.text); }

    bool contains(StrView key) const { return map_.contains(key.text); }

    // Copies the entries into a snapshot table with a fresh hash key, then
    // moves them into a new dict in the snapshot's order.
    Result<OwnedRef> to_dict() const {
        HashMap<OwnedRef> snapshot(map_, next_hash_key(), [](const OwnedRef& v) noexcept { return v.clone(); });
        OwnedRef dict = OwnedRef::steal(PyDict_New());
        if (!dict) api_call_failed();
        std::optional<Error> failure;
        snapshot.drain([&](std::string_view key, OwnedRef&& value) {
            OwnedRef text = OwnedRef::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
            if (!text) api_call_failed();
            if (PyDict_SetItem(dict.get(), text.get(), value.get()) < 0) {
                failure.emplace(fetch_error());
                return false;
            }
            return true;
        });
        if (failure) return std::move(*failure);
        return dict;
    }

    // At destruction, in entry order.
    void release_all() {
        map_.drain([](std::string_view, OwnedRef&& value) { release(std::move(value)); });
    }

private:
    HashMap<OwnedRef> map_;
};

using MapClass = PyClass<"PyHashMap", Map,
    Def<"insert", &Map::insert, "key", "value">,
    Def<"get", &Map::get, "key">,
    Def<"remove", &Map::remove, "key">,
    Def<"contains", &Map::contains, "key">,
    Def<"to_dict", &Map::to_dict>>;

}  // namespace

const ClassInfo& py_hash_map_class = MapClass::info;

}  // namespace velkorin
