#include "blob/writer.h"

#include <bit>
#include <cstring>
#include <optional>
#include <string_view>

#include "base/fault.h"
#include "blob/format.h"

namespace tessary {
namespace {

// Every length, count and stage reference index is a u32 in the blob.
constexpr std::uint64_t kU32Limit = std::uint64_t{1} << 32;

// The blob is written in two passes over the same calls: a Measure pass adds
// up its size and checks that every length fits the format, then a Write
// pass fills a buffer of exactly that size.
struct Measure {
  static constexpr bool kChecks = true;
  std::size_t size = 0;

  void u8(std::uint8_t) { size += 1; }
  void u32(std::uint64_t) { size += 4; }
  void u64(std::uint64_t) { size += 8; }
  void bytes(std::string_view s) { size += s.size(); }
};

// Stores `v` little-endian at `p`.
template <typename T>
void store_le(std::uint8_t* p, T v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, sizeof v);
  } else {
    for (std::size_t i = 0; i < sizeof v; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}

struct Write {
  // The Measure pass went over the same values and found them all fitting.
  static constexpr bool kChecks = false;
  std::uint8_t* p;

  void u8(std::uint8_t v) { *p++ = v; }
  void u32(std::uint64_t v) {
    store_le(p, static_cast<std::uint32_t>(v));
    p += 4;
  }
  void u64(std::uint64_t v) {
    store_le(p, v);
    p += 8;
  }
  // Most strings are names and keys of a few bytes: those are copied with
  // fixed-size moves from both ends (which overlap in the middle) instead
  // of a call.
  void bytes(std::string_view s) {
    const std::size_t n = s.size();
    const char* q = s.data();
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
    p += n;
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
// node comes field by field from its record (as a RecordVisitor), so neither
// pass builds a decoded key.
template <typename Out>
class NodeWriter : public RecordVisitor {
 public:
  NodeWriter(Out& out, const NodeRecords& records) : out_(out), records_(records) {}

  std::optional<BlobTooLarge>& error() { return error_; }

  void string(std::string_view s) {
    if (Out::kChecks && s.size() >= kU32Limit) return keep(check_string(s));
    out_.u32(s.size());
    out_.bytes(s);
  }
  void pooled(std::uint32_t index) { string(records_.string(index)); }

  void count(std::uint64_t n) {
    if (Out::kChecks && n >= kU32Limit) return keep(check_count(n));
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
        if (Out::kChecks && ref.index >= kU32Limit) return keep(check_index(ref.index));
        out_.u8(ref.tag == StageRef::Tag::kMember ? 1 : 0);
        out_.u32(ref.index);
      }
    }
  }

 private:
  // Keeps the first error. Only the Measure pass checks, and its sizes are
  // dropped once an error is kept, so what it adds up after one is moot.
  void keep(std::optional<BlobTooLarge> e) {
    if (!error_) error_ = std::move(e);
  }

  Out& out_;
  const NodeRecords& records_;
  std::optional<BlobTooLarge> error_;
};

// One pass over the whole blob; false when a length does not fit.
template <typename Out>
std::optional<BlobTooLarge> emit(Out& out, const NodeRecords& records,
                                 std::span<const NodeId> outputs) {
  NodeWriter<Out> w(out, records);
  if (auto e = check_count(outputs.size())) return e;
  if (auto e = check_count(records.size())) return e;
  out.bytes(std::string_view(reinterpret_cast<const char*>(kMagic), sizeof kMagic));
  out.u32(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (!records.walk(i, w)) {
      const NodeKey stage = records.key(i);
      w.stage(std::get<Stage>(stage.variant()));
    }
    if (w.error()) return std::move(w.error());
  }
  w.ids(outputs);
  return std::move(w.error());
}

}  // namespace

Result<bool, BlobTooLarge> serialize_into(
    const NodeRecords& records, std::span<const NodeId> outputs,
    const std::function<std::uint8_t*(std::size_t)>& allocate) {
  Measure measure;
  if (auto e = emit(measure, records, outputs)) return Err{std::move(*e)};
  std::uint8_t* buffer = allocate(measure.size);
  if (buffer == nullptr) return false;
  Write write{buffer};
  if (emit(write, records, outputs) || write.p != buffer + measure.size) {
    fault("tessary IR blob changed size between its two passes");
  }
  return true;
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
