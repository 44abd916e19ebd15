#include "blob/writer.h"

#include <bit>
#include <cstring>
#include <optional>
#include <string_view>

#include "base/out_buffer.h"
#include "blob/format.h"

namespace tessary {
namespace {

// Every length, count and stage reference index is a u32 in the blob.
constexpr std::uint64_t kU32Limit = std::uint64_t{1} << 32;

// Stores `v` little-endian at `p`.
template <typename T>
void store_le(std::uint8_t* p, T v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, sizeof v);
  } else {
    for (std::size_t i = 0; i < sizeof v; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}

// Copies the `n` bytes at `q` to `p`. Most strings are names and keys of a
// few bytes: those are copied with fixed-size moves from both ends (which
// overlap in the middle) instead of a call.
void copy_bytes(std::uint8_t* p, const char* q, std::size_t n) {
  if (n > 16) {
    std::memcpy(p, q, n);
  } else if (n >= 8) {
    std::memcpy(p, q, 8);
    std::memcpy(p + n - 8, q + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(p, q, 4);
    std::memcpy(p + n - 4, q + n - 4, 4);
  } else if (n != 0) {
    p[0] = static_cast<std::uint8_t>(q[0]);
    p[n / 2] = static_cast<std::uint8_t>(q[n / 2]);
    p[n - 1] = static_cast<std::uint8_t>(q[n - 1]);
  }
}

// The blob's values, each written where the buffer has room for it.
struct Write {
  OutBuffer& out;

  void u8(std::uint8_t v) {
    *out.room(1) = v;
    out.advance(1);
  }
  void u32(std::uint64_t v) {
    store_le(out.room(4), static_cast<std::uint32_t>(v));
    out.advance(4);
  }
  void u64(std::uint64_t v) {
    store_le(out.room(8), v);
    out.advance(8);
  }
  // A string's u32 length and its bytes, whose size the caller has checked.
  void string(std::string_view s) {
    std::uint8_t* p = out.room(4 + s.size());
    store_le(p, static_cast<std::uint32_t>(s.size()));
    copy_bytes(p + 4, s.data(), s.size());
    out.advance(4 + s.size());
  }
};

// --- Size checks: everything the format stores as a u32 must be below 2^32.

std::optional<BlobTooLarge> check_string(std::string_view s) {
  if (s.size() < kU32Limit) return std::nullopt;
  return BlobTooLarge{"string of " + std::to_string(s.size()) +
                      " bytes is too long for a tessary IR blob"};
}

std::optional<BlobTooLarge> check_count(std::uint64_t n) {
  if (n < kU32Limit) return std::nullopt;
  return BlobTooLarge{"list of " + std::to_string(n) +
                      " entries is too long for a tessary IR blob"};
}

std::optional<BlobTooLarge> check_index(std::uint64_t index) {
  if (index < kU32Limit) return std::nullopt;
  return BlobTooLarge{"stage member reference index " + std::to_string(index) +
                      " is too large for a tessary IR blob"};
}

// Writes the fields of one node into `out`, checking each length first; the
// first one that does not fit is kept in `error` and ends the node. A plain
// node comes field by field from its record (as a RecordVisitor), so no
// decoded key is built.
class NodeWriter : public RecordVisitor {
 public:
  NodeWriter(OutBuffer& out, const NodeRecords& records) : out_{out}, strings_(records.strings()) {}

  std::optional<BlobTooLarge>& error() { return error_; }

  void string(std::string_view s) {
    if (s.size() >= kU32Limit) return keep(check_string(s));
    out_.string(s);
  }
  void pooled(std::uint32_t index) { string(strings_[index]); }

  void count(std::uint64_t n) {
    if (n >= kU32Limit) return keep(check_count(n));
    out_.u32(n);
  }

  void ids(std::span<const NodeId> ids) {
    count(ids.size());
    for (const NodeId id : ids) out_.u64(id);
  }

  // The record's fields as walk_record hands them over: the kind tag, then
  // that kind's fields in blob order.
  void kind(NodeKind kind) { out_.u8(static_cast<std::uint8_t>(kind)); }
  void name(std::uint32_t index) { pooled(index); }
  void descriptor(const std::uint32_t* fields, bool has_ref, std::uint32_t ref) {
    for (std::size_t i = 0; i < kDescriptorFieldNames.size(); ++i) pooled(fields[i]);
    out_.u8(has_ref ? 1 : 0);
    if (has_ref) pooled(ref);
  }
  void params_begin(std::uint64_t n) { count(n); }
  void param(std::uint32_t key, ParamTag tag, std::uint64_t bits) {
    pooled(key);
    out_.u8(static_cast<std::uint8_t>(tag));
    switch (tag) {
      case ParamTag::kInt:
      case ParamTag::kFloat:  // the bits as stored: a NaN keeps its payload
        out_.u64(bits);
        break;
      case ParamTag::kBool:
        out_.u8(static_cast<std::uint8_t>(bits));
        break;
      case ParamTag::kStr:
        pooled(static_cast<std::uint32_t>(bits));
        break;
    }
  }
  void inputs_begin(std::uint64_t n) { count(n); }
  void input(NodeId id) { out_.u64(id); }

  void stage(const Stage& stage) {
    out_.u8(static_cast<std::uint8_t>(NodeKind::kStage));
    ids(stage.inputs);
    count(stage.members.size());
    for (const StageOp& member : stage.members) {
      string(member.op);
      count(member.refs.size());
      for (const StageRef& ref : member.refs) {
        if (ref.index >= kU32Limit) return keep(check_index(ref.index));
        out_.u8(ref.tag == StageRef::Tag::kMember ? 1 : 0);
        out_.u32(ref.index);
      }
    }
  }

 private:
  // Keeps the first error; what is written after one is dropped with the
  // buffer.
  void keep(std::optional<BlobTooLarge> e) {
    if (!error_) error_ = std::move(e);
  }

  Write out_;
  std::span<const std::string_view> strings_;  // the pool's, by index
  std::optional<BlobTooLarge> error_;
};

// The blob's size is not known before it is written, so the buffer starts at
// about what a pipeline graph's nodes take (under 48 bytes each) and grows.
constexpr std::size_t kExpectedNodeBytes = 48;

}  // namespace

Result<void, BlobTooLarge> serialize_into(const NodeRecords& records,
                                          std::span<const NodeId> outputs,
                                          const ResizeBuffer& resize) {
  if (auto e = check_count(outputs.size())) return Err{std::move(*e)};
  if (auto e = check_count(records.size())) return Err{std::move(*e)};
  OutBuffer buffer(
      resize, sizeof kMagic + 4 + kExpectedNodeBytes * records.size() + 4 + 8 * outputs.size());
  std::memcpy(buffer.room(sizeof kMagic), kMagic, sizeof kMagic);
  buffer.advance(sizeof kMagic);
  NodeWriter w(buffer, records);
  w.count(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (!records.walk(i, w)) {
      const NodeKey stage = records.key(i);
      w.stage(std::get<Stage>(stage.variant()));
    }
    if (w.error()) return Err{std::move(*w.error())};
  }
  w.ids(outputs);
  buffer.finish();
  return {};
}

Result<std::vector<std::uint8_t>, BlobTooLarge> serialize_with(const GraphStore& store,
                                                               std::span<const NodeId> outputs) {
  std::vector<std::uint8_t> out;
  const auto written = serialize_into(store.records(), outputs, [&](std::size_t size) {
    out.resize(size);
    return out.data();
  });
  if (!written) return Err{written.error()};
  return out;
}

}  // namespace tessary
