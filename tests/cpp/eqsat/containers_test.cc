#include <gtest/gtest.h>

#include <vector>

#include "base/small_vec.h"
#include "eqsat/chunked_vec.h"
#include "eqsat/enode.h"

namespace tessary::eqsat {
namespace {

TEST(ChunkedVec, IndexesAcrossEveryBlockBoundaryAndNeverMoves) {
  ChunkedVec<std::uint32_t> v;
  const std::uint32_t* first = nullptr;
  const std::uint32_t* at_boundary = nullptr;
  constexpr std::uint32_t kCount = (1u << 15) + 3 * (1u << 14) + 5;
  for (std::uint32_t i = 0; i < kCount; ++i) {
    std::uint32_t& slot = v.push_back(i * 3);
    if (i == 0) first = &slot;
    if (i == (1u << 14)) at_boundary = &slot;
  }
  ASSERT_EQ(v.size(), kCount);
  for (std::uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(v[i], i * 3) << i;
  EXPECT_EQ(&v[0], first);
  EXPECT_EQ(&v[1u << 14], at_boundary);
  // Small tables stay small: 40 elements need the blocks of 16, 16 and 32.
  ChunkedVec<std::uint64_t> small;
  for (int i = 0; i < 40; ++i) small.push_back(static_cast<std::uint64_t>(i));
  EXPECT_LT(small.capacity_bytes(), 100 * sizeof(std::uint64_t));
}

TEST(SmallVec, SpillsMovesAndAppendsOwningElements) {
  const GlobalSymbol f("sv-f");
  SmallVec<SymbolLang, 1> a;
  a.push_back(SymbolLang{f, {Id(1), Id(2), Id(3)}});  // heap-owning element
  EXPECT_TRUE(a.is_inline());
  a.push_back(SymbolLang{f, {Id(4)}});
  EXPECT_FALSE(a.is_inline());
  SmallVec<SymbolLang, 1> b;
  b.push_back(SymbolLang(f));
  b.append(std::move(a));
  EXPECT_TRUE(a.empty());
  ASSERT_EQ(b.size(), 3u);
  EXPECT_EQ(b[1], (SymbolLang{f, {Id(1), Id(2), Id(3)}}));
  SmallVec<SymbolLang, 1> c = std::move(b);
  EXPECT_EQ(c.size(), 3u);
  c.truncate(1);
  EXPECT_EQ(c[0], SymbolLang(f));
  SmallVec<SymbolLang, 1> d;
  d.push_back(SymbolLang{f, {Id(9), Id(9), Id(9)}});
  c = std::move(d);  // inline source over a heap target
  EXPECT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].arity(), 3u);
}

}  // namespace
}  // namespace tessary::eqsat
