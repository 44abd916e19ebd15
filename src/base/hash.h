// Hashing helpers: canonical float bits, SipHash (keyed, for tables filled
// from untrusted input) and a fast multiply-rotate mixer (for the engine's
// internal tables; where a caller can steer their keys, it starts from a
// per-process seed and ends by folding its high half down).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tessary {

inline constexpr std::uint64_t kCanonicalNan = 0x7FF8000000000000ULL;

// The bits that decide a float's identity: every NaN folds to the quiet NaN;
// 0.0 and -0.0 stay different.
inline std::uint64_t float_key_bits(double value) {
  if (value != value) {
    return kCanonicalNan;
  }
  return std::bit_cast<std::uint64_t>(value);
}

// A 128-bit SipHash key.
struct SipKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;

  // A fresh key, unpredictable from outside the process and different from
  // every other key this process hands out. Only the first call reads the
  // operating system's random source (tens of microseconds on some hosts);
  // later keys are SipHash-2-4 of a counter under that one process key, so
  // knowing some of them reveals nothing of the others.
  static SipKey random();

  // The key drawn once per process from the operating system's random source.
  static const SipKey& process_key();

  // One key derived like random() on first use and then shared, for tables
  // that live inside one call (a reduction's symbol and CSE maps): what keeps
  // crafted collisions out is that nobody outside knows the key, which a
  // per-process key gives without paying for a fresh one per call.
  static const SipKey& call_tables_key();
};

// The `n` (< 8) bytes at `p` as a little-endian word, in at most three loads
// instead of one per byte: two that may overlap cover 4 to 7 bytes, and the
// first, middle and last byte cover 1 to 3.
inline std::uint64_t load_short_le(const unsigned char* p, std::size_t n) {
  if (n >= 4) {
    std::uint32_t lo;
    std::uint32_t hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    if constexpr (std::endian::native == std::endian::big) {
      lo = __builtin_bswap32(lo);
      hi = __builtin_bswap32(hi);
    }
    return std::uint64_t{lo} | (std::uint64_t{hi} << (8 * (n - 4)));
  }
  if (n == 0) return 0;
  return std::uint64_t{p[0]} | (std::uint64_t{p[n / 2]} << (8 * (n / 2))) |
         (std::uint64_t{p[n - 1]} << (8 * (n - 1)));
}

// SipHash with `C` compression rounds and `D` finalization rounds over a byte
// string. SipHash-1-3 is the table hash; SipHash-2-4 exists to check the
// shared code against the published reference vectors.
template <int C, int D>
std::uint64_t siphash(const SipKey& key, const void* data, std::size_t size);

inline std::uint64_t siphash13(const SipKey& key, std::string_view bytes) {
  return siphash<1, 3>(key, bytes.data(), bytes.size());
}

// Mixes one 64-bit word into a running hash (multiply-rotate, as in FxHash).
inline std::uint64_t fx_mix(std::uint64_t hash, std::uint64_t word) {
  return (std::rotl(hash, 5) ^ word) * 0x517cc1b727220a95ULL;
}

// A secret drawn once per process (through SipKey), to start the
// multiply-rotate hashes of tables whose keys a caller can steer: the same
// keys then land elsewhere in every process, so collisions cannot be
// prepared in advance.
inline std::uint64_t fx_process_seed() {
  static const std::uint64_t kSeed = SipKey::random().k0;
  return kSeed;
}

// Finishes a multiply-rotate hash: folds the high half, which the last
// multiplication mixed from every input bit, into the low half, which only
// the low input bits reach.
inline std::uint64_t fx_finish(std::uint64_t hash) { return hash ^ (hash >> 32); }

// Hashes strings for standard containers with SipHash-1-3 under
// SipKey::call_tables_key(), for maps filled from user input.
struct KeyedStringHash {
  std::size_t operator()(std::string_view text) const {
    return static_cast<std::size_t>(siphash13(SipKey::call_tables_key(), text));
  }
};

// An unkeyed hash of a string's length and its first and last eight bytes,
// for small caches of recent strings that confirm every hit by comparing the
// text (so a crafted collision only costs a miss). High bits mix best.
inline std::uint64_t edge_hash(std::string_view text) {
  std::uint64_t head = 0;
  std::uint64_t tail = 0;
  if (text.size() >= 8) {
    std::memcpy(&head, text.data(), 8);
    std::memcpy(&tail, text.data() + text.size() - 8, 8);
  } else {
    // Names and keys are mostly this short: their bytes, first byte lowest,
    // are both ends at once.
    head = load_short_le(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    tail = head;
  }
  return fx_mix(fx_mix(fx_mix(0, text.size()), head), tail);
}

// The slot of `text` in a direct-mapped cache of `slots` entries (a power of
// two, at least 2): the top bits of edge_hash, which mix best.
inline std::size_t edge_slot(std::string_view text, std::size_t slots) {
  return static_cast<std::size_t>(edge_hash(text) >> (64 - std::countr_zero(slots)));
}

}  // namespace tessary
