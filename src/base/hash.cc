#include "base/hash.h"

#include <atomic>
#include <random>

namespace tessary {
namespace {

inline std::uint64_t load_le64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) {
    v = __builtin_bswap64(v);
  }
  return v;
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
};

}  // namespace

template <int C, int D>
std::uint64_t siphash(const SipKey& key, const void* data, std::size_t size) {
  SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
             key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const auto* p = static_cast<const unsigned char*>(data);
  const std::size_t full = size & ~static_cast<std::size_t>(7);
  for (std::size_t i = 0; i < full; i += 8) {
    const std::uint64_t m = load_le64(p + i);
    s.v3 ^= m;
    for (int r = 0; r < C; ++r) s.round();
    s.v0 ^= m;
  }
  // The tail's bytes, first byte lowest: the top of the last eight bytes
  // when the input has that many, else the few bytes there are.
  std::uint64_t last = static_cast<std::uint64_t>(size & 0xff) << 56;
  const std::size_t rest = size - full;
  if (rest != 0 && size >= 8) {
    last |= load_le64(p + size - 8) >> (64 - 8 * rest);
  } else {
    last |= load_short_le(p + full, rest);
  }
  s.v3 ^= last;
  for (int r = 0; r < C; ++r) s.round();
  s.v0 ^= last;
  s.v2 ^= 0xff;
  for (int r = 0; r < D; ++r) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

template std::uint64_t siphash<1, 3>(const SipKey&, const void*, std::size_t);
template std::uint64_t siphash<2, 4>(const SipKey&, const void*, std::size_t);

const SipKey& SipKey::process_key() {
  static const SipKey kKey = [] {
    std::random_device device;
    auto word = [&device] {
      return (static_cast<std::uint64_t>(device()) << 32) | static_cast<std::uint64_t>(device());
    };
    SipKey key;
    key.k0 = word();
    key.k1 = word();
    return key;
  }();
  return kKey;
}

SipKey SipKey::random() {
  // Each key takes two counter values, one per half. No value repeats within
  // the process, and SipHash is a pseudorandom function of the counter under
  // the process key, so keys look independent and differ from each other
  // (but for a 2^-128 chance).
  static std::atomic<std::uint64_t> counter{0};
  const SipKey& root = process_key();
  const std::uint64_t n = counter.fetch_add(2, std::memory_order_relaxed);
  const std::uint64_t words[2] = {n, n + 1};
  SipKey key;
  key.k0 = siphash<2, 4>(root, &words[0], sizeof words[0]);
  key.k1 = siphash<2, 4>(root, &words[1], sizeof words[1]);
  return key;
}

const SipKey& SipKey::call_tables_key() {
  static const SipKey kKey = random();
  return kKey;
}

}  // namespace tessary
