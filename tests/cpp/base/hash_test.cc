#include "base/hash.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tessary {
namespace {

SipKey reference_key() {
  // Key bytes 00 01 .. 0f, read little-endian.
  return SipKey{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
}

std::string counting_bytes(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i));
  return s;
}

// The SipHash-2-4 reference vectors (key 00..0f, message 00 01 .. n-1) check
// the round function, the block loop and the tail shared with SipHash-1-3.
TEST(SipHash, MatchesReferenceVectors24) {
  const std::array<std::pair<std::size_t, std::uint64_t>, 8> vectors{{
      {0, 0x726fdb47dd0e0e31ULL},
      {1, 0x74f839c593dc67fdULL},
      {7, 0xab0200f58b01d137ULL},
      {8, 0x93f5f5799a932462ULL},
      {15, 0xa129ca6149be45e5ULL},
      {16, 0x3f2acc7f57c29bdbULL},
      {31, 0x32d892fad841c342ULL},
      {63, 0x958a324ceb064572ULL},
  }};
  for (const auto& [len, expected] : vectors) {
    const std::string msg = counting_bytes(len);
    EXPECT_EQ((siphash<2, 4>(reference_key(), msg.data(), msg.size())), expected) << len;
  }
}

// SipHash-1-3 with the all-zero key, as computed by CPython's bytes hash with
// PYTHONHASHSEED=0 and by the reference implementation (empty message).
TEST(SipHash, MatchesReferenceVectors13) {
  const SipKey zero{};
  EXPECT_EQ(siphash13(zero, ""), 0xd1fba762150c532cULL);
  EXPECT_EQ(siphash13(zero, "a"), 0x407448d2b89b1813ULL);
  EXPECT_EQ(siphash13(zero, "abc"), 0xc03bc3a0042630f2ULL);
  EXPECT_EQ(siphash13(zero, counting_bytes(7)), 0x2f098ab0c751325aULL);
  EXPECT_EQ(siphash13(zero, counting_bytes(8)), 0xead411e67ebe2eeaULL);
  EXPECT_EQ(siphash13(zero, counting_bytes(15)), 0xf30eb725bb91c9eaULL);
  EXPECT_EQ(siphash13(zero, counting_bytes(63)), 0x385d3e39e5f37359ULL);
}

// Every tail length, both under eight bytes (read in short loads) and after
// a full block (read from the last eight bytes), against CPython's bytes hash
// with PYTHONHASHSEED=0.
TEST(SipHash, EveryTailLength13) {
  const std::array<std::pair<std::size_t, std::uint64_t>, 13> vectors{{
      {2, 0x010bac45c41e3669ULL},
      {3, 0x4d4c9a4a8ef6e0adULL},
      {4, 0x7cc43f98813e4dbdULL},
      {5, 0x5abe2169dff36275ULL},
      {6, 0xe3c25f87624f1cdbULL},
      {9, 0x75927f9d95124362ULL},
      {10, 0xaf9f77a65ab51a1dULL},
      {11, 0xfe64ce8b6617fcffULL},
      {12, 0xa6baf4fb0f9fe1c2ULL},
      {13, 0xa0cf3211850f8e0dULL},
      {14, 0x7f86049379fbfe67ULL},
      {17, 0x4883c49a2c009c1dULL},
      {23, 0x37332b1389daa4ffULL},
  }};
  const SipKey zero{};
  for (const auto& [len, expected] : vectors) {
    EXPECT_EQ(siphash13(zero, counting_bytes(len)), expected) << len;
  }
}

// The short loads put each byte where a byte-by-byte read would, at every
// length under eight and whatever the bytes.
TEST(LoadShortLe, MatchesBytewiseRead) {
  const unsigned char bytes[8] = {0x01, 0x80, 0xff, 0x7f, 0x00, 0xa5, 0x5a, 0x10};
  for (std::size_t n = 0; n < 8; ++n) {
    std::uint64_t expected = 0;
    for (std::size_t i = 0; i < n; ++i) expected |= std::uint64_t{bytes[i]} << (8 * i);
    EXPECT_EQ(load_short_le(bytes, n), expected) << n;
  }
}

TEST(SipHash, RandomKeysDiffer) {
  const SipKey a = SipKey::random();
  const SipKey b = SipKey::random();
  EXPECT_NE(siphash13(a, "op|add"), siphash13(b, "op|add"));
}

// Keys after the first are derived from one process key and a counter:
// every key handed out, on any thread, is new, and none is the process key
// itself or shares a half with another key.
TEST(SipHash, DerivedKeysAreDistinctAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<std::vector<SipKey>> keys(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&keys, t] {
      for (int i = 0; i < kPerThread; ++i) keys[t].push_back(SipKey::random());
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::uint64_t> halves;
  const SipKey& root = SipKey::process_key();
  halves.insert(root.k0);
  halves.insert(root.k1);
  for (const auto& list : keys) {
    for (const SipKey& key : list) {
      EXPECT_TRUE(halves.insert(key.k0).second);
      EXPECT_TRUE(halves.insert(key.k1).second);
    }
  }
  EXPECT_EQ(halves.size(), 2u + 2u * kThreads * kPerThread);
}

TEST(FloatKeyBits, FoldsNansButKeepsSignedZeros) {
  EXPECT_EQ(float_key_bits(std::numeric_limits<double>::quiet_NaN()), kCanonicalNan);
  EXPECT_EQ(float_key_bits(std::bit_cast<double>(0xFFF0000000000123ULL)), kCanonicalNan);
  EXPECT_EQ(float_key_bits(0.0), 0ULL);
  EXPECT_EQ(float_key_bits(-0.0), 0x8000000000000000ULL);
  EXPECT_EQ(float_key_bits(1.0), 0x3FF0000000000000ULL);
}

}  // namespace
}  // namespace tessary
