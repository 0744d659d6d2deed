// The map's values are released exactly once on every path (replacement,
// removal, a drain, the destructor), each with the map already consistent.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

#include "core_checks.hpp"
#include "core/hash_map.hpp"

using velkorin::testing::Valid;
using velkorin::core::HashMap;

namespace {

// Values that check, whenever a live one is released, that the map is
// consistent and no longer holds it.
HashMap<struct Watched>* watched_map = nullptr;
int watched_releases = 0;

struct Watched {
    explicit Watched(int i) : id(i) {}
    Watched(Watched&& o) noexcept : id(std::exchange(o.id, -1)) {}
    Watched& operator=(Watched&& o) noexcept {
        if (this != &o) {
            release();
            id = std::exchange(o.id, -1);
        }
        return *this;
    }
    ~Watched() { release(); }
    void release() noexcept {
        if (id < 0) return;
        ++watched_releases;
        if (watched_map != nullptr) {
            EXPECT_TRUE(Valid(*watched_map)) << "released value " << id;
            for (const auto& e : *watched_map) EXPECT_NE(e.value.id, id);
        }
        id = -1;
    }
    int id;
};

TEST(HashMapRelease, EveryPathReleasesOnceWithTheMapConsistent) {
    watched_releases = 0;
    {
        HashMap<Watched> map;
        watched_map = &map;
        for (int i = 0; i < 100; ++i) map.insert(std::to_string(i), Watched(i));
        EXPECT_EQ(watched_releases, 0);
        map.insert("5", Watched(1005));  // replaced value returned and dropped here
        EXPECT_EQ(watched_releases, 1);
        for (int i = 0; i < 100; i += 3) map.remove(std::to_string(i));  // includes first, middle and last positions
        EXPECT_EQ(watched_releases, 35);
        int handed = 0;
        map.drain([&](std::string_view, Watched&& w) {
            if (++handed % 2 == 0) Watched taken(std::move(w));  // released inside f
            return handed < 20;
        });  // the rest of the 20 go right after their call
        EXPECT_EQ(watched_releases, 55);
        EXPECT_EQ(map.size(), 46u);
        EXPECT_TRUE(Valid(map));
        watched_map = nullptr;
    }
    EXPECT_EQ(watched_releases, 101) << "the destructor released the other 46";
}

}  // namespace
