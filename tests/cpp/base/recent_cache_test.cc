#include "base/recent_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace tessary {
namespace {

TEST(RecentCache, FindsWhatWasPutAndMissesOtherwise) {
  RecentCache<int> cache(4, 1024);
  EXPECT_EQ(cache.find("a"), nullptr);
  EXPECT_EQ(cache.put("a", 1), 1);
  ASSERT_NE(cache.find("a"), nullptr);
  EXPECT_EQ(*cache.find("a"), 1);
  EXPECT_EQ(cache.find("b"), nullptr);
  EXPECT_EQ(cache.find(std::string_view("a\0", 2)), nullptr);
  (void)cache.put("a", 2);
  EXPECT_EQ(*cache.find("a"), 2);
}

// Far more keys than slots: every hit must still return that key's own
// value, whichever keys evicted which.
TEST(RecentCache, EvictionNeverReturnsAnotherKeysValue) {
  RecentCache<std::string> cache(8, 8);
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 500; ++i) {
      const std::string key = "key" + std::to_string(i);
      if (const std::string* hit = cache.find(key)) {
        EXPECT_EQ(*hit, "value" + std::to_string(i));
      } else {
        (void)cache.put(key, "value" + std::to_string(i));
      }
    }
  }
  // Keys sharing length, head and tail hash alike; they must still differ.
  RecentCache<int> alike(8, 8);
  const std::string a = "prefix__A__suffix";
  const std::string b = "prefix__B__suffix";
  (void)alike.put(a, 1);
  EXPECT_EQ(alike.find(b), nullptr);
  (void)alike.put(b, 2);
  EXPECT_EQ(alike.find(a), nullptr);
  EXPECT_EQ(*alike.find(b), 2);
}

// A cache of borrowed keys keeps views of the caller's bytes: a hit compares
// against those bytes, so a probe with equal text at another address hits;
// the empty key is cached like any other.
TEST(RecentCache, BorrowedKeysAreComparedByTheirText) {
  const std::vector<std::string> pool = {"alpha", "beta", ""};
  RecentCache<std::size_t, std::string_view> cache(1024, 1024);
  // The slot hash is fixed, so whether these three share a slot is too.
  ASSERT_NE(cache.slot_of(pool[0]), cache.slot_of(pool[1]));
  ASSERT_NE(cache.slot_of(pool[0]), cache.slot_of(pool[2]));
  ASSERT_NE(cache.slot_of(pool[1]), cache.slot_of(pool[2]));
  for (std::size_t i = 0; i < pool.size(); ++i) {
    const std::size_t slot = cache.slot_of(pool[i]);
    EXPECT_EQ(cache.find(pool[i], slot), nullptr);
    EXPECT_EQ(cache.put(pool[i], slot, i), i);
  }
  for (std::size_t i = 0; i < pool.size(); ++i) {
    const std::string probe = pool[i];  // equal text, other bytes
    const std::size_t* hit = cache.find(probe);
    ASSERT_NE(hit, nullptr) << probe;
    EXPECT_EQ(*hit, i) << probe;
  }
  EXPECT_EQ(cache.find("alph"), nullptr);
  EXPECT_EQ(cache.find(std::string_view("\0", 1)), nullptr);
}

// Growing keeps every cached entry (a slot is the top bits of the key's hash,
// so entries in distinct slots stay in distinct slots), and the grown cache
// maps keys to its new slot count.
TEST(RecentCache, GrowingKeepsEntriesAndUsesTheNewSlots) {
  RecentCache<int> cache(8, 8);
  std::vector<std::string> cached;
  for (int i = 0; i < 40; ++i) {
    const std::string key = "key" + std::to_string(i);
    (void)cache.put(key, i);
  }
  for (int i = 0; i < 40; ++i) {
    const std::string key = "key" + std::to_string(i);
    if (cache.find(key) != nullptr) cached.push_back(key);
  }
  ASSERT_FALSE(cached.empty());
  cache.resize(256, 64);
  EXPECT_EQ(cache.slot_count(), 64u);
  for (const std::string& key : cached) {
    const int* hit = cache.find(key);
    ASSERT_NE(hit, nullptr) << key;
    EXPECT_EQ("key" + std::to_string(*hit), key);
  }
  for (int i = 0; i < 200; ++i) (void)cache.put("other" + std::to_string(i), -i);
  for (int i = 0; i < 200; ++i) {
    if (const int* hit = cache.find("other" + std::to_string(i))) {
      EXPECT_EQ(*hit, -i);
    }
  }
  EXPECT_EQ(cache.find("key"), nullptr);
}

// Texts of one length that differ in one byte and land in the same slot:
// only the comparison can tell them apart, at every length around the word
// sizes it reads in.
TEST(RecentCache, OneByteApartInTheSameSlotIsAMiss) {
  int compared = 0;
  for (std::size_t length = 1; length <= 24; ++length) {
    std::string base;
    for (std::size_t i = 0; i < length; ++i) base.push_back(static_cast<char>('a' + i));
    RecentCache<std::size_t, std::string_view> cache(8, 8);
    (void)cache.put(base, length);
    for (std::size_t at = 0; at < length; ++at) {
      for (int byte = 0; byte < 256; ++byte) {
        std::string other = base;
        other[at] = static_cast<char>(byte);
        if (other == base || cache.slot_of(other) != cache.slot_of(base)) continue;
        ++compared;
        EXPECT_EQ(cache.find(other), nullptr) << length << " " << at << " " << byte;
      }
      ASSERT_NE(cache.find(std::string(base)), nullptr);
    }
  }
  EXPECT_GT(compared, 1000);  // the slots alone did not decide every probe
}

// A value put from an lvalue is copied into the slot's own storage, which
// longer and shorter keys and values put later into the same slot reuse (8
// slots for six keys): what is found is always what was put, never the
// caller's object or a stale tail.
TEST(RecentCache, CopiedValuesAndKeysAreTheSlotsOwn) {
  RecentCache<std::string> cache(1, 1);
  std::string value;
  for (std::size_t length : {40, 3, 25, 0, 64, 17}) {
    const std::string key(length, 'k');
    value.assign(length + 1, 'v');
    const std::size_t slot = cache.slot_of(key);
    const std::string& kept = cache.put(key, slot, value);
    value.assign("changed after the put");
    ASSERT_NE(cache.find(key, slot), nullptr);
    EXPECT_EQ(&kept, cache.find(key, slot));
    EXPECT_EQ(kept, std::string(length + 1, 'v'));
    EXPECT_EQ(cache.find(std::string(length + 1, 'k')), nullptr);
  }
}

}  // namespace
}  // namespace tessary
