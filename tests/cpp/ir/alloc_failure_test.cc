// A failed allocation while a store or its string pool appends leaves them
// whole and usable: the failed call adds nothing visible, the lock is not
// poisoned, and the same call made again gives what it gives on a store
// that never failed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "blob/writer.h"
#include "ir/store.h"
#include "ir/string_pool.h"
#include "support/failing_alloc.h"

namespace tessary {
namespace {

using testing::for_each_failure_point;

std::vector<std::uint8_t> blob_of(const GraphStore& store) {
  auto blob = serialize_with(store, store.outputs());
  EXPECT_TRUE(blob.ok());
  return blob.ok() ? blob.value() : std::vector<std::uint8_t>{};
}

// Keys that add new strings, new params and new records, past the sizes
// where the pool's and the store's tables grow.
std::vector<NodeKey> growing_keys() {
  std::vector<NodeKey> keys;
  keys.push_back(Source{"src", {}});
  for (int i = 1; i < 40; ++i) {
    ParamMap params({{"name" + std::to_string(i), ParamValue::string("value" + std::to_string(i))},
                     {"k", ParamValue::integer(i)}});
    keys.push_back(Op{"op" + std::to_string(i % 7), std::move(params), {NodeId(i - 1)}});
  }
  return keys;
}

TEST(AllocationFailure, StringPoolInternAddsTheTextWholeOrNotAtAll) {
  StringPool pool(SipKey::random());
  std::vector<std::string> texts;
  for (int i = 0; i < 40; ++i) texts.push_back("text-" + std::to_string(i) + std::string(i, 'x'));
  std::size_t refusals = 0;
  for (const std::string& text : texts) {
    const std::size_t before = pool.size();
    refusals += for_each_failure_point([&] { (void)pool.intern(text); },
                                       [&](bool refused) {
                                         // Either the text went in whole or
                                         // nothing did.
                                         const auto found = pool.find(text);
                                         if (found) {
                                           EXPECT_EQ(pool.get(*found), text);
                                           EXPECT_EQ(pool.size(), before + 1);
                                         } else {
                                           EXPECT_TRUE(refused);
                                           EXPECT_EQ(pool.size(), before);
                                         }
                                       });
    // One index per text, however many attempts failed.
    ASSERT_EQ(pool.size(), before + 1) << text;
  }
  EXPECT_GE(refusals, 5u);  // several growth points were hit
  for (std::size_t i = 0; i < texts.size(); ++i)
    EXPECT_EQ(pool.get(pool.intern(texts[i])), texts[i]);
  EXPECT_EQ(pool.size(), texts.size());
}

TEST(AllocationFailure, StoreInternLeavesTheStoreWholeAndUsable) {
  const std::vector<NodeKey> keys = growing_keys();
  GraphStore reference;
  for (const NodeKey& key : keys) ASSERT_TRUE(reference.intern(key).ok());
  ASSERT_TRUE(reference.mark_output(keys.size() - 1).ok());

  GraphStore store;
  std::size_t refusals = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    refusals += for_each_failure_point([&] { (void)store.intern(keys[i]); },
                                       [&](bool) {
                                         // Not poisoned, and holding either
                                         // every key so far or all but this one.
                                         const std::uint64_t count = store.node_count();
                                         EXPECT_TRUE(count == i || count == i + 1) << count;
                                       });
    ASSERT_EQ(store.node_count(), i + 1);
    // Interning again finds the key: it was stored once, under its own id.
    const auto again = store.intern(keys[i]);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value(), i);
  }
  refusals += for_each_failure_point([&] { (void)store.mark_output(keys.size() - 1); },
                                     [&](bool) { EXPECT_LE(store.outputs().size(), 1u); });
  EXPECT_GE(refusals, 5u);  // several growth points were hit
  EXPECT_EQ(blob_of(store), blob_of(reference));
}

TEST(AllocationFailure, FailedReadsNeverPoisonTheStore) {
  GraphStore store;
  for (const NodeKey& key : growing_keys()) ASSERT_TRUE(store.intern(key).ok());
  const Snapshot expected = store.snapshot();
  const std::size_t refusals = for_each_failure_point(
      [&] {
        (void)store.snapshot();
        (void)store.snapshot_from(3);
        (void)store.records();
      },
      [&](bool) { EXPECT_EQ(store.node_count(), expected.nodes.size()); });
  EXPECT_GT(refusals, 0u);
  EXPECT_EQ(store.snapshot().nodes, expected.nodes);
}

}  // namespace
}  // namespace tessary
