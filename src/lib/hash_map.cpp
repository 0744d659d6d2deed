// PyHashMap: a hash map from str keys (stored as UTF-8 bytes) to Python objects.
#include "lib/classes.hpp"
#include "lib/core/hash_table.hpp"

namespace velkorin {

namespace {

class Map {
public:
    // A replaced value is released before the method returns, while the
    // exclusive borrow is still held: its finalizer sees the map as borrowed.
    void insert(String key, PyObject* value) {
        if (std::optional<OwnedRef> old = map_.insert(std::move(key), OwnedRef::borrow(value))) {
            release(std::move(*old));
        }
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
        HashMap<OwnedRef> snapshot;
        snapshot.reserve(map_.size());
        map_.for_each([&](std::string_view key, const OwnedRef& value) {
            snapshot.insert(String(key.data(), key.size()), value.clone());
        });
        OwnedRef dict = OwnedRef::steal(PyDict_New());
        if (!dict) api_call_failed();
        std::optional<Error> failure;
        snapshot.drain([&](String&& key, OwnedRef&& value) {
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
        map_.drain([](String&&, OwnedRef&& value) { release(std::move(value)); });
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
