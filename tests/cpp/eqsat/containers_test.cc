#include <gtest/gtest.h>

#include <vector>

#include "base/small_vec.h"
#include "eqsat/chunked_vec.h"
#include "eqsat/enode.h"
#include "eqsat/pooled_list.h"

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

TEST(ChunkedVec, MovesAndDestroysOnlyWhatWasAppended) {
  const GlobalSymbol f("cv-f");
  ChunkedVec<SymbolLang> a;
  for (std::uint32_t i = 0; i < 40; ++i) a.push_back(SymbolLang{f, {Id(i), Id(i), Id(i)}});
  ChunkedVec<SymbolLang> b = std::move(a);
  EXPECT_EQ(a.size(), 0u);
  ASSERT_EQ(b.size(), 40u);
  EXPECT_EQ(b[39], (SymbolLang{f, {Id(39), Id(39), Id(39)}}));
  a.push_back(SymbolLang{f, {Id(7), Id(8), Id(9)}});
  b = std::move(a);  // the sanitizers check that b's old nodes are freed
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0].arity(), 3u);
}

TEST(PooledList, GrowsMergesAndReusesFreedBlocks) {
  const GlobalSymbol f("pl-f");
  BlockPool<SymbolLang> pool;
  PooledList<SymbolLang> a;
  a.push_back(SymbolLang{f, {Id(1), Id(2), Id(3)}}, pool);  // heap-owning element
  EXPECT_TRUE(a.is_inline());
  EXPECT_EQ(pool.capacity_bytes(), 0u);
  for (std::uint32_t i = 0; i < 4; ++i) a.push_back(SymbolLang{f, {Id(i)}}, pool);
  EXPECT_FALSE(a.is_inline());
  EXPECT_EQ(a.capacity(), 8u);
  ASSERT_EQ(a.size(), 5u);
  EXPECT_EQ(a.span()[0], (SymbolLang{f, {Id(1), Id(2), Id(3)}}));
  EXPECT_EQ(a.span()[4], (SymbolLang{f, {Id(3)}}));

  PooledList<SymbolLang> b;
  b.push_back(SymbolLang(f), pool);
  b.push_back(SymbolLang{f, {Id(9), Id(9), Id(9)}}, pool);
  const SymbolLang* b_block = b.span().data();
  a.append(std::move(b), pool);
  EXPECT_TRUE(b.empty());
  EXPECT_TRUE(b.is_inline());
  ASSERT_EQ(a.size(), 7u);
  EXPECT_EQ(a.span()[5], SymbolLang(f));
  EXPECT_EQ(a.span()[6], (SymbolLang{f, {Id(9), Id(9), Id(9)}}));
  // b's block of two went back to the pool and is handed out next.
  PooledList<SymbolLang> c;
  c.push_back(SymbolLang(f), pool);
  c.push_back(SymbolLang(f), pool);
  EXPECT_EQ(c.span().data(), b_block);

  // The shorter list appended to the longer one, which then replaces it.
  c.append(std::move(a), pool);
  a.take_over(std::move(c), pool);
  EXPECT_TRUE(c.empty());
  ASSERT_EQ(a.size(), 9u);
  EXPECT_EQ(a.span()[2], (SymbolLang{f, {Id(1), Id(2), Id(3)}}));
  a.truncate(3);
  EXPECT_EQ(a.size(), 3u);
  PooledList<SymbolLang> moved(std::move(a));
  EXPECT_EQ(moved.size(), 3u);
  EXPECT_TRUE(a.empty());

  // A block past the largest chunk gets a chunk of its own.
  PooledList<SymbolLang> big;
  for (std::uint32_t i = 0; i < 5000; ++i) big.push_back(SymbolLang{f, {Id(i)}}, pool);
  EXPECT_EQ(big.span()[4999], (SymbolLang{f, {Id(4999)}}));

  // Moving the pool moves its chunks. The lists are destroyed after `other`,
  // so they give up their elements first.
  big.truncate(0);
  moved.truncate(0);
  BlockPool<SymbolLang> other = std::move(pool);
  EXPECT_EQ(pool.capacity_bytes(), 0u);
  EXPECT_GT(other.capacity_bytes(), 5000 * sizeof(SymbolLang));
}

TEST(PooledList, FourByteElementsRecycleBlocksOfTwo) {
  BlockPool<Id> pool;
  PooledList<Id> a;
  for (std::uint32_t i = 0; i < 3; ++i) a.push_back(Id(i), pool);
  const Id* four = a.span().data();
  PooledList<Id> b;
  b.push_back(Id(7), pool);
  b.push_back(Id(8), pool);
  const Id* two = b.span().data();
  a.append(std::move(b), pool);  // b's block of two goes back to the pool
  ASSERT_EQ(a.size(), 5u);
  EXPECT_EQ(a.span()[4], Id(8));
  EXPECT_NE(a.span().data(), four);
  PooledList<Id> c;
  c.push_back(Id(1), pool);
  c.push_back(Id(2), pool);
  EXPECT_EQ(c.span().data(), two);
  EXPECT_EQ(c.span()[1], Id(2));
}

}  // namespace
}  // namespace tessary::eqsat
