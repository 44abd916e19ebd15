// Texts crafted to collide under the fixed, unkeyed multiply-rotate string
// hash the symbol table once used, and random texts of the same length to
// compare them with. A crafted set must cost the keyed tables no more probes
// than a random one.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tessary::testing {

inline constexpr std::uint64_t kFixedHashMultiplier = 0x517cc1b727220a95ULL;

// The old symbol hash: multiply-rotate over 8-byte words, the zero-padded
// tail and the length, then a murmur finalizer. Everything in it is public
// and every step is invertible, so collisions can be computed.
inline std::uint64_t fixed_symbol_hash(std::string_view text) {
  auto mix = [](std::uint64_t h, std::uint64_t w) {
    return (std::rotl(h, 5) ^ w) * kFixedHashMultiplier;
  };
  std::uint64_t h = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    h = mix(h, word);
  }
  std::uint64_t tail = 0;
  if (i < text.size()) std::memcpy(&tail, text.data() + i, text.size() - i);
  h = mix(mix(h, tail), text.size());
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

// Printable ASCII that an op name keeps unescaped in its token.
inline bool plain_name_byte(unsigned char c) {
  return c > ' ' && c < 0x7F && c != '|' && c != '=' && c != ';' && c != '%';
}

// The bytes plain_name_byte accepts, in order.
inline std::string plain_name_bytes() {
  std::string out;
  for (int c = 0; c < 0x80; ++c) {
    if (plain_name_byte(static_cast<unsigned char>(c))) out.push_back(static_cast<char>(c));
  }
  return out;
}

// `count` distinct 16-byte texts "op|" + 13 plain bytes with one fixed hash.
// After two words the old state is (rotl(w0 * M, 5) ^ w1) * M and the tail
// word is zero, so every pair with rotl(w0 * M, 5) ^ w1 equal to that of
// "op|aaaaaaaaaaaaa" collides: walk first words and keep those whose forced
// second word is plain text.
inline std::vector<std::string> fixed_hash_collisions(std::size_t count) {
  auto word_at = [](const std::string& s, std::size_t at) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + at, 8);
    return w;
  };
  auto lead = [](std::uint64_t w0) { return std::rotl(w0 * kFixedHashMultiplier, 5); };
  const std::string alphabet = plain_name_bytes();
  const std::string reference = "op|aaaaaaaaaaaaa";
  const std::uint64_t target = lead(word_at(reference, 0)) ^ word_at(reference, 8);
  std::vector<std::string> out;
  std::string text = reference;
  // The five free bytes of the first word count up like an odometer.
  for (std::uint64_t n = 0; out.size() < count; ++n) {
    std::uint64_t digits = n;
    for (std::size_t k = 3; k < 8; ++k, digits /= alphabet.size()) {
      text[k] = alphabet[digits % alphabet.size()];
    }
    const std::uint64_t w1 = target ^ lead(word_at(text, 0));
    bool plain = true;
    for (int k = 0; k < 8; ++k)
      plain = plain && plain_name_byte(static_cast<unsigned char>(w1 >> (8 * k)));
    if (!plain) continue;
    std::memcpy(text.data() + 8, &w1, 8);
    out.push_back(text);
  }
  return out;
}

// `count` texts "op|" + 13 random plain bytes.
inline std::vector<std::string> random_op_texts(std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  const std::string alphabet = plain_name_bytes();
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::vector<std::string> out;
  while (out.size() < count) {
    std::string text = "op|";
    while (text.size() < 16) text.push_back(alphabet[pick(rng)]);
    out.push_back(std::move(text));
  }
  return out;
}

}  // namespace tessary::testing
