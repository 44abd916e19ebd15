// What the blob's writer and reader share: the fixed bytes at its start.
#pragma once

#include <cstdint>

namespace tessary {

// "TIR1": the format's name and, in its last byte, its version.
inline constexpr std::uint8_t kMagic[4] = {'T', 'I', 'R', '1'};

}  // namespace tessary
