// The blob reader: a checked cursor over untrusted bytes, and deserialize,
// which turns any byte string into a new store or exactly one DecodeError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/cancel.h"
#include "base/result.h"
#include "blob/decode_error.h"
#include "ir/param.h"
#include "ir/store.h"

namespace tessary {

// A read cursor over the bytes of a blob. Every read checks that enough bytes
// remain before it reads them and fails with Truncated otherwise; on failure
// the position is unspecified. Counts read from the bytes never size an
// allocation beyond what the remaining bytes could hold.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes)
      : bytes_(bytes.data()), length_(bytes.size()) {}

  std::size_t position() const { return position_; }
  std::size_t remaining() const { return length_ - position_; }

  [[nodiscard]] Result<std::uint8_t, DecodeError> u8();
  [[nodiscard]] Result<std::uint32_t, DecodeError> u32();
  [[nodiscard]] Result<std::uint64_t, DecodeError> u64();
  // A u32 byte length, then that many bytes of UTF-8 (strictly checked).
  [[nodiscard]] Result<std::string, DecodeError> string();
  // A u32 entry count, then per entry a key string, a value tag and the
  // payload. The map comes out sorted whatever the entry order in the bytes.
  [[nodiscard]] Result<ParamMap, DecodeError> params();
  // A u32 count, then that many u64 node ids, each of which must be below `limit`.
  [[nodiscard]] Result<NodeIds, DecodeError> inputs(std::uint64_t limit);

  // The same three, borrowing from the bytes: the text stays in the blob and
  // the entries and ids replace the contents of `out`, in the order read
  // (KeyView puts the entries in map order).
  [[nodiscard]] Result<std::string_view, DecodeError> string_view();
  [[nodiscard]] Result<void, DecodeError> params(std::vector<ParamEntryView>& out);
  [[nodiscard]] Result<void, DecodeError> inputs(std::uint64_t limit, std::vector<NodeId>& out);

  // How many of `count` items of at least `min_bytes` each the remaining bytes
  // could hold: the most a list read from here may reserve.
  std::size_t capacity_for(std::uint64_t count, std::size_t min_bytes) const;

 private:
  const std::uint8_t* bytes_;
  std::size_t length_;
  std::size_t position_ = 0;
};

// A new store holding the blob's records (record k as node id k) with its
// output list marked, or the first DecodeError met; never a partial store.
// Bytes after the output list are ignored.
// Polls `cancel` once per record and throws Cancelled when it says stop.
[[nodiscard]] Result<GraphStore, DecodeError> deserialize(std::span<const std::uint8_t> bytes,
                                                          Cancel& cancel);
[[nodiscard]] Result<GraphStore, DecodeError> deserialize(std::span<const std::uint8_t> bytes);

}  // namespace tessary
