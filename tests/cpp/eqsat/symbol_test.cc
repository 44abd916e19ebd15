#include "eqsat/symbol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "base/fault.h"
#include "eqsat/enode.h"
#include "fixed_hash_collisions.h"
#include "support/failing_alloc.h"

namespace tessary::eqsat {
namespace {

// Texts whose hashes pick the same shard, for driving one shard to its limit.
std::vector<std::string> texts_in_one_shard(std::size_t count) {
  std::vector<std::string> out;
  for (int i = 0; out.size() < count; ++i) {
    std::string text = "t" + std::to_string(i);
    if ((symbol_text_hash(text) & 15) == 3) out.push_back(text);
  }
  return out;
}

TEST(GlobalSymbol, EqualTextsGiveEqualSymbolsAndTextRoundTrips) {
  const GlobalSymbol a("op|add|scalar=f0000000000000000;side=sr");
  const GlobalSymbol b(std::string("op|add|scalar=f0000000000000000;side=sr"));
  EXPECT_EQ(a, b);
  EXPECT_NE(a, GlobalSymbol("op|add"));
  EXPECT_EQ(a.as_str(), "op|add|scalar=f0000000000000000;side=sr");

  const std::string utf8 = "\xce\xbb-\xe2\x88\x80 x\ty";
  EXPECT_EQ(GlobalSymbol(utf8).as_str(), utf8);
  const std::string with_nul("a\0b", 3);
  EXPECT_EQ(GlobalSymbol(with_nul).as_str(), with_nul);
  EXPECT_NE(GlobalSymbol(with_nul), GlobalSymbol("a"));
}

TEST(GlobalSymbol, EmptyTextIsAValidSymbol) {
  const GlobalSymbol empty("");
  EXPECT_FALSE(empty.is_null());
  EXPECT_EQ(empty.as_str(), "");
  EXPECT_EQ(empty, GlobalSymbol(std::string_view()));
}

TEST(GlobalSymbol, ValueCarriesShardAndPosition) {
  const GlobalSymbol s("value-layout-check");
  const std::uint32_t shard = symbol_text_hash("value-layout-check") & 15;
  EXPECT_EQ(s.value() >> 28, shard);
  EXPECT_GE(s.value() & 0x0FFFFFFF, 1u);
}

TEST(GlobalSymbol, ThreadsInterningTheSameTextsAgree) {
  constexpr int kThreads = 6;
  constexpr int kTexts = 2000;
  std::vector<std::vector<std::uint32_t>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen] {
      // Each thread walks the texts in a different order, so first uses race.
      for (int k = 0; k < kTexts; ++k) {
        const int i = (t % 2 == 0) ? k : kTexts - 1 - k;
        seen[t].push_back(GlobalSymbol("thread-text-" + std::to_string(i)).value());
      }
      if (t % 2 == 1) std::reverse(seen[t].begin(), seen[t].end());
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
  for (int i = 0; i < kTexts; ++i) {
    EXPECT_EQ(GlobalSymbol::from_value(seen[0][i]).as_str(), "thread-text-" + std::to_string(i));
  }
}

TEST(SymbolTable, FullShardFaultsWithoutStoring) {
  SymbolTable table(/*index_limit=*/3);
  const auto texts = texts_in_one_shard(3);
  const std::uint32_t first = table.intern(texts[0]);
  EXPECT_EQ(first & 0x0FFFFFFF, 1u);
  EXPECT_EQ(table.intern(texts[1]) & 0x0FFFFFFF, 2u);
  try {
    table.intern(texts[2]);
    FAIL() << "expected a fault";
  } catch (const InternalFault& f) {
    EXPECT_EQ(f.message(), "Can't represent index 3 in a Symbol");
  }
  EXPECT_EQ(table.shard_size(3), 2u);
  // Known texts still resolve; the shard is not poisoned by the refusal.
  EXPECT_EQ(table.intern(texts[0]), first);
  EXPECT_EQ(table.text(first), texts[0]);
}

// An intern that fails by a refused allocation stores nothing, or stores the
// text whole, and leaves the shard usable: each text ends with one symbol.
TEST(SymbolTable, FailedAllocationLeavesTheShardWhole) {
  SymbolTable table;
  const auto texts = texts_in_one_shard(40);
  std::vector<std::uint32_t> symbols;
  std::size_t refusals = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    refusals += testing::for_each_failure_point(
        [&] { (void)table.intern(texts[i]); },
        [&](bool) { EXPECT_TRUE(table.shard_size(3) == i || table.shard_size(3) == i + 1); });
    ASSERT_EQ(table.shard_size(3), i + 1);
    symbols.push_back(table.intern(texts[i]));
  }
  EXPECT_GE(refusals, 5u);  // several growth points were hit
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(table.intern(texts[i]), symbols[i]);
    EXPECT_EQ(table.text(symbols[i]), texts[i]);
  }
  EXPECT_EQ(table.shard_size(3), texts.size());
}

TEST(SymbolTable, PoisonedShardRefusesEveryUse) {
  SymbolTable table;
  const auto texts = texts_in_one_shard(2);
  const std::uint32_t known = table.intern(texts[0]);
  // The shard a text lands in follows the per-process key: pick one outside 3.
  std::string elsewhere = "elsewhere";
  while ((symbol_text_hash(elsewhere) & 15) == 3) elsewhere += "+";
  const std::uint32_t other = table.intern(elsewhere);
  ASSERT_NE(other >> 28, 3u);
  table.poison_shard_for_testing(3);
  for (auto use : {0, 1, 2}) {
    try {
      if (use == 0) table.intern(texts[0]);
      if (use == 1) table.intern(texts[1]);
      if (use == 2) static_cast<void>(table.text(known));
      FAIL() << "expected a fault";
    } catch (const InternalFault& f) {
      EXPECT_EQ(f.message(), "called `Result::unwrap()` on an `Err` value");
    }
  }
  EXPECT_EQ(table.text(other), elsewhere);
}

// Probes that finding every text of `texts` takes in `table`, after
// interning them all in order.
std::size_t probes_after_interning(SymbolTable& table, const std::vector<std::string>& texts) {
  for (const std::string& text : texts) static_cast<void>(table.intern(text));
  std::size_t probes = 0;
  for (const std::string& text : texts) probes += table.probe_count(text);
  return probes;
}

TEST(SymbolTable, TextsCraftedForTheFixedHashCostNoMoreProbesThanRandomTexts) {
  constexpr std::size_t kTexts = 3000;
  const auto crafted = testing::fixed_hash_collisions(kTexts);
  ASSERT_EQ(crafted.size(), kTexts);
  for (const std::string& text : crafted) {
    ASSERT_EQ(text.size(), 16u);
    ASSERT_EQ(testing::fixed_symbol_hash(text), testing::fixed_symbol_hash(crafted[0])) << text;
  }
  SymbolTable crafted_table;
  SymbolTable random_table;
  const std::size_t crafted_probes = probes_after_interning(crafted_table, crafted);
  const std::size_t random_probes =
      probes_after_interning(random_table, testing::random_op_texts(kTexts, 11));
  // One probe run holding every crafted text would cost about kTexts^2 / 2.
  EXPECT_GE(crafted_probes, kTexts);
  EXPECT_LE(crafted_probes, 3 * random_probes);
}

TEST(SymbolTable, TextsCraftedForTheFixedHashSpreadOverEveryShard) {
  const auto crafted = testing::fixed_hash_collisions(400);
  SymbolTable table;
  std::vector<std::uint64_t> hashes;
  for (const std::string& text : crafted) {
    static_cast<void>(table.intern(text));
    hashes.push_back(symbol_text_hash(text));
  }
  for (std::uint32_t shard = 0; shard < kSymbolShardCount; ++shard) {
    EXPECT_GT(table.shard_size(shard), 0u) << "shard " << shard;
  }
  std::sort(hashes.begin(), hashes.end());
  EXPECT_EQ(std::adjacent_find(hashes.begin(), hashes.end()), hashes.end());
}

TEST(SymbolLang, EqualityHashOrderAndMatching) {
  const GlobalSymbol f("f");
  const SymbolLang a{f, {Id(1), Id(2)}};
  const SymbolLang b = SymbolLang::from_text("f", std::vector<Id>{Id(1), Id(2)});
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.hash(), b.hash());
  EXPECT_NE(a, (SymbolLang{f, {Id(2), Id(1)}}));
  EXPECT_TRUE(a.matches(SymbolLang{f, {Id(7), Id(9)}}));
  EXPECT_FALSE(a.matches(SymbolLang{f, {Id(1)}}));
  // Children compare lexicographically, a proper prefix first.
  EXPECT_LT((SymbolLang{f, {Id(1)}}), a);
  EXPECT_LT(a, (SymbolLang{f, {Id(1), Id(3)}}));
  EXPECT_LT(SymbolLang(f), (SymbolLang{f, {Id(0)}}));
}

TEST(SymbolLang, WideNodesCopyAndMoveTheirChildren) {
  const GlobalSymbol g("g");
  SymbolLang wide{g, {Id(1), Id(2), Id(3), Id(4)}};
  SymbolLang copy = wide;
  copy.children_mut()[0] = Id(9);
  EXPECT_EQ(wide.children()[0], Id(1));
  SymbolLang moved = std::move(copy);
  EXPECT_EQ(moved.arity(), 4u);
  EXPECT_EQ(moved.children()[0], Id(9));
  wide = moved;
  EXPECT_EQ(wide, moved);
  wide = SymbolLang(g);
  EXPECT_TRUE(wide.is_leaf());
  EXPECT_EQ(sizeof(SymbolLang), 16u);
}

}  // namespace
}  // namespace tessary::eqsat
