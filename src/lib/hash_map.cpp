// PyHashMap: a hash map from str keys (stored as UTF-8 bytes) to Python objects.
#include "lib/classes.hpp"
#include "core/hash_map.hpp"

// Walks over the entries (the snapshot, its drain) touch each value's
// reference count, and the objects lie anywhere in memory.
template <>
struct velkorin::core::HashMapValuePrefetch<velkorin::OwnedRef> {
    static void ahead(const OwnedRef& v) noexcept { VELKORIN_PREFETCH_WRITE(v.get()); }
};

namespace velkorin::lib {

// For verify(): whether a stored hash is the interpreter's hash of the str
// the stored bytes decode to, which equals the hash of the key object they
// came from. The check runs inside any call, a deallocation included, so it
// leaves the error indicator as it found it, and it passes a hash it cannot
// check for want of memory.
struct StrTextHash {
    static bool matches(std::string_view utf8, std::uint64_t hash) noexcept {
        PyObject* pending = PyErr_GetRaisedException();
        PyObject* text = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
        bool same = true;
        if (text == nullptr) {
            PyErr_Clear();
        } else {
            same = static_cast<std::uint64_t>(str_type_hash(text)) == hash;
            Py_DECREF(text);  // a str: its deallocation runs no Python code
        }
        PyErr_SetRaisedException(pending);
        return same;
    }
};

using StrMap = core::HashMap<OwnedRef, StrTextHash>;

// The to_dict snapshot holds the map's own text hashes, checked in the map;
// checking them again at every step of its drain would cost an allocation
// per entry per step.
struct CopiedTextHash {
    static bool matches(std::string_view, std::uint64_t) noexcept { return true; }
};

// What the map is given for a key: its bytes and the str's own hash.
core::TextKey text_key(const StrView& key) { return core::TextKey{key.text, key.hash(), key.after_header}; }

// Zero-filled memory is an empty map too (see hash_map.hpp): it takes its key
// at the first insertion instead of here.
class HashMap {
public:
    HashMap() noexcept : map_(core::next_hash_key()) {}

    // The key's bytes are copied into the entry, so the argument's UTF-8 is
    // only borrowed. A replaced value is released before the method returns,
    // while the exclusive borrow is still held: its finalizer sees the map
    // as borrowed. The old value leaves its optional before the release:
    // released from there, every replacement made a round trip through the
    // stack.
    void insert(StrView key, PyObject* value) {
        PyObject* old = nullptr;
        if (std::optional<OwnedRef> replaced = map_.insert(text_key(key), OwnedRef::borrow(value))) old = replaced->into_raw();
        if (old != nullptr) drop(OwnedRef::steal(old));
    }

    // An empty map answers without hashing.
    std::optional<OwnedRef> get(StrView key) const {
        if (map_.empty()) return std::nullopt;
        const OwnedRef* value = map_.find(text_key(key));
        if (value == nullptr) return std::nullopt;
        return value->clone();
    }

    std::optional<OwnedRef> remove(StrView key) {
        if (map_.empty()) return std::nullopt;
        return map_.remove(text_key(key));
    }

    bool contains(StrView key) const { return !map_.empty() && map_.contains(text_key(key)); }

    // Copies the entries into a snapshot table with a fresh hash key, then
    // moves them into a new dict in the snapshot's order.
    Result<OwnedRef> to_dict() const {
        core::HashMap<OwnedRef, CopiedTextHash> snapshot(map_, core::next_hash_key(), [](const OwnedRef& v) noexcept { return v.clone(); });
        OwnedRef dict = OwnedRef::steal(PyDict_New());
        if (!dict) api_call_failed();
        Result<void> status;
        snapshot.drain([&](std::string_view key, OwnedRef&& value) {
            OwnedRef text = OwnedRef::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
            if (!text) api_call_failed();
            if (PyDict_SetItem(dict.get(), text.get(), value.get()) < 0) {
                status = fetch_error();
                return false;
            }
            return true;
        });
        if (!status) return std::move(status.error());
        return dict;
    }

    // At destruction, in entry order.
    bool give_up_references(GiveUp give_up) { return map_.drain_values(released_, give_up); }

private:
    StrMap map_;
    std::size_t released_ = 0;  // values given up by the deallocation so far
};

struct PyHashMap final : PyClass<PyHashMap, "PyHashMap", HashMap,
    Def<"insert", &HashMap::insert, "key", "value">,
    Def<"get", &HashMap::get, "key">,
    Def<"remove", &HashMap::remove, "key">,
    Def<"contains", &HashMap::contains, "key">,
    Def<"to_dict", &HashMap::to_dict>> {};

const ClassRecord& py_hash_map_class = class_record<PyHashMap>;

}  // namespace velkorin::lib
