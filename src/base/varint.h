// LEB128 varints: seven bits per byte, lowest first, the high bit set on
// every byte but the last.
#pragma once

#include <cstdint>

namespace tessary {

// Writes `v` at `p` (up to ten bytes) and returns the end of what it wrote.
inline std::uint8_t* put_varint(std::uint8_t* p, std::uint64_t v) {
  while (v >= 0x80) {
    *p++ = static_cast<std::uint8_t>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<std::uint8_t>(v);
  return p;
}

}  // namespace tessary
