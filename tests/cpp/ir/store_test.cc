#include "ir/store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <random>
#include <span>
#include <string_view>
#include <thread>

#include "base/fault.h"
#include "ir/packed_key.h"
#include "ir/string_pool.h"

namespace tessary {
namespace {

ParamMap params(std::vector<ParamEntry> entries) { return ParamMap(std::move(entries)); }

NodeId must(Result<NodeId, BadNodeId> r) {
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : 0;
}

TEST(GraphStoreIntern, EqualKeysShareOneId) {
  GraphStore store;
  const NodeId x = must(store.intern(Source{"x", {}}));
  const NodeId y = must(store.intern(Source{"y", params({{"a", ParamValue::integer(1)}})}));
  EXPECT_EQ(x, 0u);
  EXPECT_EQ(y, 1u);
  EXPECT_EQ(must(store.intern(Source{"x", {}})), x);
  EXPECT_EQ(must(store.intern(Source{"y", params({{"a", ParamValue::integer(1)}})})), y);
  EXPECT_EQ(must(store.intern(Op{"add", {}, {0, 0}})), 2u);
  EXPECT_EQ(must(store.intern(Op{"add", {}, {0}})), 3u);
  EXPECT_EQ(must(store.intern(Op{"add", {}, {0, 0}})), 2u);
  EXPECT_EQ(must(store.intern(Reduction{"add", {}, {0, 0}})), 4u);
  EXPECT_EQ(store.node_count(), 5u);
}

TEST(GraphStoreIntern, DistinguishesEveryField) {
  GraphStore store;
  const NodeId s = must(store.intern(Source{"s", {}}));
  const PayloadDescriptor d{"model", "h", "fw", "1", "io", std::nullopt};
  PayloadDescriptor d_empty_ref = d;
  d_empty_ref.preprocessing_ref = "";
  const std::vector<NodeKey> keys = {
      Op{"f", params({{"v", ParamValue::floating(0.0)}}), {s}},
      Op{"f", params({{"v", ParamValue::floating(-0.0)}}), {s}},
      Op{"f", params({{"v", ParamValue::integer(0)}}), {s}},
      Op{"f", params({{"v", ParamValue::boolean(false)}}), {s}},
      Op{"f", params({{"v", ParamValue::string("")}}), {s}},
      Op{"f", params({{"w", ParamValue::string("")}}), {s}},
      External{d, {}, {s}},
      External{d_empty_ref, {}, {s}},
      External{d, {}, {}},
      Exchange{{}, {s}},
      Exchange{{}, {}},
      Exchange{{}, {s, s}},
      Stage{{s}, {StageOp{"op|neg", {StageRef::input(0)}}}},
      Stage{{s}, {StageOp{"op|neg", {StageRef::member(0)}}}},
      Stage{{s}, {StageOp{"op|exp", {StageRef::input(0)}}}},
  };
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(must(store.intern(keys[i])), i + 1) << i;
  }
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(must(store.intern(keys[i])), i + 1) << i;
  }
  // The snapshot gives every key back exactly.
  const Snapshot snap = store.snapshot();
  ASSERT_EQ(snap.nodes.size(), keys.size() + 1);
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(snap.nodes[i + 1], keys[i]) << i;
}

TEST(GraphStoreIntern, BadInputLeavesStoreUnchanged) {
  GraphStore store;
  must(store.intern(Source{"x", {}}));
  const auto self = store.intern(Op{"f", {}, {1}});
  ASSERT_FALSE(self.ok());
  EXPECT_EQ(self.error().id, 1u);
  const auto huge = store.intern(Op{"f", {}, {0, std::numeric_limits<NodeId>::max()}});
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error().id, std::numeric_limits<NodeId>::max());
  const auto first_bad = store.intern(Op{"f", {}, {7, 5}});
  ASSERT_FALSE(first_bad.ok());
  EXPECT_EQ(first_bad.error().id, 7u);
  EXPECT_EQ(store.node_count(), 1u);
  EXPECT_EQ(must(store.intern(Op{"f", {}, {0}})), 1u);
}

TEST(GraphStoreIntern, NanPayloadFoldsForIdentityButIsKept) {
  GraphStore store;
  const double odd_nan = std::bit_cast<double>(0x7ff0000000000123ULL);
  const double quiet_nan = std::bit_cast<double>(0x7ff8000000000000ULL);
  const NodeId a =
      must(store.intern(Source{"s", params({{"a", ParamValue::floating(odd_nan)},
                                            {"b", ParamValue::floating(quiet_nan)}})}));
  const NodeId b = must(store.intern(Source{"s", params({{"a", ParamValue::floating(quiet_nan)},
                                                         {"b", ParamValue::floating(odd_nan)}})}));
  EXPECT_EQ(a, b);
  const Snapshot snap = store.snapshot();
  const auto& entries = snap.nodes[0].params()->entries();
  EXPECT_EQ(std::bit_cast<std::uint64_t>(entries[0].value.as_float()), 0x7ff0000000000123ULL);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(entries[1].value.as_float()), 0x7ff8000000000000ULL);
}

// Every store hashes with keys of its own, so a key set crafted to collide in
// one store's tables does not collide in another's; a moved store keeps them.
TEST(GraphStoreKeys, EachStoreHasKeysOfItsOwn) {
  std::vector<GraphStore> stores(8);
  std::vector<std::pair<SipKey, SipKey>> keys;
  for (const GraphStore& store : stores) keys.push_back(store.hash_keys_for_testing());
  auto same = [](const SipKey& a, const SipKey& b) { return a.k0 == b.k0 && a.k1 == b.k1; };
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_FALSE(same(keys[i].first, keys[i].second));
    for (std::size_t j = 0; j < i; ++j) {
      EXPECT_FALSE(same(keys[i].first, keys[j].first));
      EXPECT_FALSE(same(keys[i].second, keys[j].second));
    }
  }
  const GraphStore moved = std::move(stores[0]);
  EXPECT_TRUE(same(moved.hash_keys_for_testing().first, keys[0].first));
}

TEST(GraphStoreMarks, KeepFirstPositionAndRejectBadIds) {
  GraphStore store;
  EXPECT_EQ(store.mark_output(0).error().id, 0u);
  for (int i = 0; i < 4; ++i) must(store.intern(Source{std::to_string(i), {}}));
  EXPECT_TRUE(store.mark_output(3).ok());
  EXPECT_TRUE(store.mark_output(1).ok());
  EXPECT_TRUE(store.mark_output(3).ok());
  EXPECT_EQ(store.mark_output(4).error().id, 4u);
  EXPECT_EQ(store.outputs(), (NodeIds{3, 1}));
  EXPECT_EQ(store.snapshot().outputs, (NodeIds{3, 1}));
}

TEST(GraphStoreSnapshot, FromStartOnward) {
  GraphStore store;
  for (int i = 0; i < 5; ++i) must(store.intern(Source{std::to_string(i), {}}));
  EXPECT_EQ(store.snapshot_from(0).size(), 5u);
  const auto tail = store.snapshot_from(3);
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_EQ(tail[0], NodeKey(Source{"3", {}}));
  EXPECT_TRUE(store.snapshot_from(5).empty());
  EXPECT_TRUE(store.snapshot_from(std::numeric_limits<NodeId>::max()).empty());
}

TEST(GraphStoreSnapshot, VisitSeesEveryNodeInOrder) {
  GraphStore store;
  must(store.intern(Source{"x", {}}));
  must(store.intern(Op{"neg", {}, {0}}));
  ASSERT_TRUE(store.mark_output(1).ok());
  std::vector<std::string> tokens;
  const NodeIds marks = store.visit_nodes(
      [&](NodeId id, const NodeKey& key) { tokens.push_back(std::to_string(id) + key.token()); });
  EXPECT_EQ(tokens, (std::vector<std::string>{"0src|x", "1op|neg"}));
  EXPECT_EQ(marks, NodeIds{1});
}

// Ops come as tokens from a cache of their name-and-parameter bytes: every
// token must still be the key's own, whatever the inputs, the float bits
// (-0.0, NaN payloads), the escapes in strings, or evictions from the cache.
// Boundary nodes repeating an earlier key but for inputs come as repeats,
// and only those.
TEST(GraphStoreSnapshot, VisitTokensGivesEveryOpItsOwnToken) {
  GraphStore store;
  must(store.intern(Source{"x", {}}));
  must(store.intern(Source{"y", params({{"rows", ParamValue::integer(3)}})}));
  auto scalar = [](double v) {
    return params({{"scalar", ParamValue::floating(v)}, {"side", ParamValue::string("r")}});
  };
  const double odd_nan = std::bit_cast<double>(0x7ff0000000000123ULL);
  std::vector<NodeKey> ops = {
      Op{"add", {}, {0, 1}},
      Op{"add", {}, {1, 0}},
      Op{"add", scalar(0.0), {0}},
      Op{"add", scalar(-0.0), {0}},
      Op{"add", scalar(0.0), {1}},
      Op{"mul", scalar(odd_nan), {0}},
      Op{"mul", scalar(odd_nan), {1}},
      Op{"mul", scalar(std::numeric_limits<double>::quiet_NaN()), {1}},
      Op{"cast",
         params({{"to", ParamValue::string("a|b;c=d%")}, {"x", ParamValue::boolean(true)}}),
         {1}},
      Op{"cast",
         params({{"to", ParamValue::string("a|b;c=d%")}, {"x", ParamValue::boolean(false)}}),
         {1}},
      Op{"null|ary=%", params({{"n;", ParamValue::integer(-5)}}), {}},
  };
  // More signatures than the cache has slots, each used twice far apart.
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 3000; ++i) {
      ops.push_back(Op{"k" + std::to_string(i),
                       params({{"n", ParamValue::integer(i)}}),
                       {static_cast<NodeId>(round)}});
    }
  }
  for (const NodeKey& key : ops) must(store.intern(key));
  must(store.intern(Reduction{"sum", params({{"axis", ParamValue::integer(0)}}), {2}}));
  must(store.intern(Exchange{{}, {3}}));
  must(store.intern(Reduction{"sum", params({{"axis", ParamValue::integer(0)}}), {3}}));
  must(store.intern(Exchange{{}, {4}}));
  PayloadDescriptor with_ref{"model", "h", "torch", "2", "s", std::string("prep")};
  PayloadDescriptor without_ref = with_ref;
  without_ref.preprocessing_ref = std::nullopt;
  must(store.intern(External{with_ref, params({{"k", ParamValue::integer(1)}}), {0}}));
  must(store.intern(External{without_ref, params({{"k", ParamValue::integer(1)}}), {0}}));
  must(store.intern(External{with_ref, params({{"k", ParamValue::integer(1)}}), {1}}));
  must(store.intern(External{without_ref, params({{"k", ParamValue::integer(1)}}), {0, 1}}));
  // More boundary signatures than any cache would hold, each seen again far
  // apart, and two reductions that keep a NaN's payload.
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 300; ++i) {
      must(store.intern(Reduction{"r" + std::to_string(i), {}, {static_cast<NodeId>(round)}}));
    }
  }
  const NodeId nan_first = must(store.intern(Reduction{"sum", scalar(odd_nan), {0}}));
  const NodeId nan_second = must(store.intern(Reduction{"sum", scalar(odd_nan), {1}}));
  ASSERT_TRUE(store.mark_output(4).ok());

  const Snapshot snap = store.snapshot();
  std::vector<NodeId> seen;
  std::vector<NodeId> whole_ops;
  std::vector<NodeId> repeats;
  std::vector<NodeId> firsts;
  std::vector<std::pair<NodeId, NodeId>> repeated;
  std::vector<std::pair<NodeId, std::string_view>> first_names;
  std::size_t memos_reused = 0;
  const NodeIds marks = store.visit_tokens(
      [&](NodeId id, std::string_view token, std::span<const NodeId> inputs, std::uint64_t& memo) {
        seen.push_back(id);
        ASSERT_LT(id, snap.nodes.size());
        EXPECT_EQ(snap.nodes[id].kind(), NodeKind::kOp) << id;
        EXPECT_EQ(token, snap.nodes[id].token()) << id;
        // The word kept with the token is what an earlier node with the
        // same token left there, or zero.
        if (memo == 0) {
          memo = id + 1;
        } else {
          ASSERT_LE(memo, id);
          EXPECT_EQ(snap.nodes[memo - 1].token(), token) << id;
          ++memos_reused;
        }
        const auto want = snap.nodes[id].inputs();
        EXPECT_TRUE(std::equal(inputs.begin(), inputs.end(), want.begin(), want.end())) << id;
      },
      [&](NodeId id, const KeyView& key) {
        seen.push_back(id);
        firsts.push_back(id);
        ASSERT_LT(id, snap.nodes.size());
        // The view packs to the key's own bytes.
        StringPool pool(SipKey{1, 2});
        PackedKey from_key;
        PackedKey from_view;
        ASSERT_TRUE(pack_key(snap.nodes[id], pool, /*insert=*/true, from_key));
        ASSERT_TRUE(pack_key(key, pool, /*insert=*/true, from_view));
        EXPECT_EQ(from_view.eq, from_key.eq) << id;
        EXPECT_EQ(from_view.nan_raw, from_key.nan_raw) << id;
        if (!key.name().empty()) first_names.emplace_back(id, key.name());
      },
      [&](NodeId id, NodeKey&& key) {
        seen.push_back(id);
        ASSERT_LT(id, snap.nodes.size());
        EXPECT_EQ(key, snap.nodes[id]) << id;
        if (key.kind() == NodeKind::kOp) whole_ops.push_back(id);
      },
      [&](NodeId id, NodeId earlier, std::span<const NodeId> inputs) {
        seen.push_back(id);
        repeats.push_back(id);
        repeated.emplace_back(id, earlier);
        ASSERT_LT(earlier, id);
        ASSERT_LT(id, snap.nodes.size());
        EXPECT_EQ(snap.nodes[id].with_inputs({}), snap.nodes[earlier].with_inputs({})) << id;
        const auto want = snap.nodes[id].inputs();
        EXPECT_TRUE(std::equal(inputs.begin(), inputs.end(), want.begin(), want.end())) << id;
      });
  // Only the ops whose NaN keeps its payload come whole.
  EXPECT_EQ(whole_ops, (std::vector<NodeId>{7, 8}));
  // The second sum, exchange and externals repeat earlier keys but for inputs.
  EXPECT_EQ(std::vector<NodeId>(repeats.begin(), repeats.begin() + 4),
            (std::vector<NodeId>{6014, 6015, 6018, 6019}));
  // Every other boundary node without a NaN comes first of its key or as a
  // repeat of the first node with that key, however far back.
  std::vector<NodeKey> stripped;
  std::vector<NodeId> boundary_ids;
  std::vector<NodeId> want_firsts;
  std::vector<std::pair<NodeId, NodeId>> want_repeated;
  for (NodeId id = 0; id < snap.nodes.size(); ++id) {
    if (snap.nodes[id].kind() == NodeKind::kOp || id == nan_first || id == nan_second) continue;
    NodeKey key = snap.nodes[id].with_inputs({});
    const auto same = std::find(stripped.begin(), stripped.end(), key);
    if (same == stripped.end()) {
      want_firsts.push_back(id);
    } else {
      want_repeated.emplace_back(id, boundary_ids[same - stripped.begin()]);
    }
    stripped.push_back(std::move(key));
    boundary_ids.push_back(id);
  }
  EXPECT_EQ(firsts, want_firsts);
  EXPECT_EQ(repeated, want_repeated);
  EXPECT_EQ(repeated.size(), 304u);
  ASSERT_EQ(seen.size(), snap.nodes.size());
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i);
  EXPECT_EQ(marks, snap.outputs);
  EXPECT_GT(memos_reused, 0u);
  // The names of the first keys are the store's own texts, still in place
  // after the visit.
  ASSERT_FALSE(first_names.empty());
  for (const auto& [id, name] : first_names) {
    EXPECT_EQ(name, std::visit(
                        [](const auto& k) -> std::string_view {
                          if constexpr (requires { k.name; }) return k.name;
                          return {};
                        },
                        snap.nodes[id].variant()))
        << id;
  }
}

TEST(GraphStorePoison, EveryLaterOperationFaults) {
  GraphStore store;
  must(store.intern(Source{"x", {}}));
  store.poison_for_testing();
  try {
    (void)store.intern(Source{"y", {}});
    FAIL() << "expected a fault";
  } catch (const InternalFault& f) {
    EXPECT_EQ(f.message(), "tessary-core store mutex poisoned");
  }
  EXPECT_THROW((void)store.node_count(), InternalFault);
  EXPECT_THROW((void)store.snapshot(), InternalFault);
  EXPECT_THROW((void)store.outputs(), InternalFault);
  EXPECT_THROW((void)store.mark_output(0), InternalFault);
}

TEST(GraphStorePoison, FaultInsideTheLockPoisons) {
  GraphStore store;
  must(store.intern(Source{"x", {}}));
  EXPECT_THROW(store.visit_nodes([](NodeId, const NodeKey&) { fault("boom"); }), InternalFault);
  EXPECT_THROW((void)store.node_count(), InternalFault);
}

TEST(GraphStoreThreads, OverlappingKeysGetOneIdEach) {
  GraphStore store;
  constexpr int kThreads = 6;
  constexpr int kKeys = 3000;
  must(store.intern(Source{"root", {}}));
  std::vector<std::vector<NodeId>> ids(kThreads, std::vector<NodeId>(kKeys));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Every thread interns the same keys, each in its own order.
      for (int j = 0; j < kKeys; ++j) {
        const int k = (t % 2 == 0) ? j : kKeys - 1 - j;
        auto r = store.intern(
            Op{"op" + std::to_string(k % 7), params({{"k", ParamValue::integer(k)}}), {0}});
        ids[t][k] = r.ok() ? r.value() : std::numeric_limits<NodeId>::max();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(store.node_count(), static_cast<std::uint64_t>(kKeys + 1));
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(ids[t], ids[0]);
  std::vector<bool> seen(kKeys + 1, false);
  for (const NodeId id : ids[0]) {
    ASSERT_GE(id, 1u);
    ASSERT_LE(id, static_cast<NodeId>(kKeys));
    EXPECT_FALSE(seen[id]);
    seen[id] = true;
  }
}

// Keys whose inputs are positions among the keys: repeats of earlier keys
// (some visible only once their inputs are renamed), names seen for the first
// time anywhere in the sequence, NaN payloads, and inputs near and far.
std::vector<NodeKey> random_sequence(std::mt19937& rng, std::size_t n) {
  auto pick = [&](std::size_t k) {
    return std::uniform_int_distribution<std::size_t>(0, k - 1)(rng);
  };
  const double odd_nan = std::bit_cast<double>(0x7ff0000000000456ULL);
  std::vector<NodeKey> keys;
  while (keys.size() < n) {
    const std::size_t r = pick(10);
    if (keys.empty() || r == 0) {
      keys.push_back(Source{"s" + std::to_string(pick(4)), {}});
    } else if (r <= 2) {
      keys.push_back(keys[pick(keys.size())]);  // a repeat, as it stands
    } else {
      NodeIds inputs;
      for (std::size_t k = pick(3); k-- > 0;) {
        inputs.push_back(pick(3) == 0
                             ? pick(keys.size())
                             : keys.size() - 1 - pick(std::min<std::size_t>(keys.size(), 3)));
      }
      ParamMap p = pick(8) == 0 ? params({{"v", ParamValue::floating(odd_nan)}}) : ParamMap{};
      keys.push_back(Op{"f" + std::to_string(pick(40)), std::move(p), std::move(inputs)});
    }
  }
  return keys;
}

// Each key on its own, its positions renamed to the ids found so far.
std::vector<NodeId> intern_one_by_one(GraphStore& store, std::span<const NodeKey> keys) {
  std::vector<NodeId> ids;
  for (const NodeKey& key : keys) {
    NodeIds inputs;
    for (const NodeId p : key.inputs()) inputs.push_back(ids[p]);
    ids.push_back(must(store.intern(key.with_inputs(inputs))));
  }
  return ids;
}

TEST(GraphStoreSequence, MatchesInterningOneByOne) {
  for (unsigned seed = 0; seed < 60; ++seed) {
    std::mt19937 rng(seed);
    const std::vector<NodeKey> keys = random_sequence(rng, 1 + (seed * 37) % 300);
    for (const bool filled : {false, true}) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << (filled ? ", filled store" : ""));
      GraphStore a;
      GraphStore b;
      if (filled) {
        for (GraphStore* store : {&a, &b}) {
          must(store->intern(Source{"s1", {}}));
          must(store->intern(Op{"f3", {}, {0}}));
        }
      }
      auto got = a.intern_sequence(keys);
      ASSERT_TRUE(got.ok());
      EXPECT_EQ(got.value(), intern_one_by_one(b, keys));
      const Snapshot sa = a.snapshot();
      EXPECT_EQ(sa.nodes, b.snapshot().nodes);
      // The index finds every node where it was put.
      for (std::size_t id = 0; id < sa.nodes.size(); ++id) {
        EXPECT_EQ(must(a.intern(sa.nodes[id])), id);
      }
    }
  }
}

TEST(GraphStoreSequence, RepeatsRenameTheInputsAfterThem) {
  GraphStore store;
  const std::vector<NodeKey> keys = {Source{"x", {}}, Source{"x", {}}, Op{"f", {}, {1}},
                                     Op{"f", {}, {0}}, Op{"g", {}, {2, 3}}};
  auto ids = store.intern_sequence(keys);
  ASSERT_TRUE(ids.ok());
  EXPECT_EQ(ids.value(), (std::vector<NodeId>{0, 0, 1, 1, 2}));
  const Snapshot snap = store.snapshot();
  ASSERT_EQ(snap.nodes.size(), 3u);
  EXPECT_EQ(snap.nodes[2], NodeKey(Op{"g", {}, {1, 1}}));
}

TEST(GraphStoreSequence, StopsAtTheFirstInputThatIsNotEarlier) {
  GraphStore store;
  auto self = store.intern_sequence(std::vector<NodeKey>{Op{"f", {}, {0}}});
  ASSERT_FALSE(self.ok());
  EXPECT_EQ(self.error().id, 0u);
  EXPECT_EQ(store.node_count(), 0u);
  auto later = store.intern_sequence(std::vector<NodeKey>{Source{"x", {}}, Op{"f", {}, {0}},
                                                          Op{"g", {}, {0, 2}}, Op{"h", {}, {0}}});
  ASSERT_FALSE(later.ok());
  EXPECT_EQ(later.error().id, 2u);
  EXPECT_EQ(store.node_count(), 2u);
}

TEST(GraphStoreMove, MovedStoreKeepsItsNodes) {
  GraphStore a;
  must(a.intern(Source{"x", {}}));
  GraphStore b = std::move(a);
  EXPECT_EQ(b.node_count(), 1u);
  EXPECT_EQ(must(b.intern(Source{"x", {}})), 0u);
}

}  // namespace
}  // namespace tessary
