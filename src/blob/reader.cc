#include "blob/reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "blob/format.h"
#include "ir/key_view.h"
#include "ir/tuning.h"

namespace tessary {
namespace {

// The fewest bytes one item of a list can take, used to bound reservations:
// a stage member is an op length and a reference count; a reference is a tag
// and a u32.
constexpr std::size_t kMinMemberBytes = 4 + 4;
constexpr std::size_t kMinRefBytes = 1 + 4;
// The least a node record takes: its tag and two counts or lengths.
constexpr std::size_t kMinNodeBytes = 1 + 4 + 4;

constexpr std::uint8_t kMaxNodeTag = 5;
constexpr std::uint8_t kMaxParamTag = 3;
constexpr std::uint8_t kMaxStageRefTag = 1;

bool in_range(std::uint8_t b, std::uint8_t lo, std::uint8_t hi) { return b >= lo && b <= hi; }

// Strict UTF-8: no overlong forms, no surrogates (U+D800..U+DFFF), nothing
// above U+10FFFF, no stray continuation bytes and no cut-off sequences.
bool is_valid_utf8(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    // The allowed range of the second byte depends on the lead byte; the
    // remaining bytes are plain continuation bytes.
    std::uint8_t lo = 0x80;
    std::uint8_t hi = 0xBF;
    if (in_range(b, 0xC2, 0xDF)) {
      len = 2;
    } else if (b == 0xE0) {
      len = 3;
      lo = 0xA0;  // below is overlong
    } else if (in_range(b, 0xE1, 0xEC) || in_range(b, 0xEE, 0xEF)) {
      len = 3;
    } else if (b == 0xED) {
      len = 3;
      hi = 0x9F;  // above are surrogates
    } else if (b == 0xF0) {
      len = 4;
      lo = 0x90;  // below is overlong
    } else if (in_range(b, 0xF1, 0xF3)) {
      len = 4;
    } else if (b == 0xF4) {
      len = 4;
      hi = 0x8F;  // above is beyond U+10FFFF
    } else {
      return false;  // continuation byte, C0/C1 overlong lead, or F5..FF
    }
    if (n - i < len) return false;
    if (!in_range(p[i + 1], lo, hi)) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if (!in_range(p[i + k], 0x80, 0xBF)) return false;
    }
    i += len;
  }
  return true;
}

// One member reference; a Member index must name an earlier member of the
// same stage, an Input index is not checked here.
Result<StageRef, DecodeError> read_ref(Reader& r, std::uint64_t member_position) {
  auto tag = r.u8();
  if (!tag) return Err{tag.error()};
  if (tag.value() > kMaxStageRefTag) {
    return Err{DecodeError::invalid_tag("stage-ref", tag.value())};
  }
  auto index = r.u32();
  if (!index) return Err{index.error()};
  if (tag.value() == 0) return StageRef::input(index.value());
  if (index.value() >= member_position) {
    return Err{DecodeError::reference_out_of_range(index.value())};
  }
  return StageRef::member(index.value());
}

Result<Stage, DecodeError> read_stage(Reader& r, std::uint64_t k) {
  Stage stage;
  auto inputs = r.inputs(k);
  if (!inputs) return Err{inputs.error()};
  stage.inputs = std::move(inputs).value();
  auto member_count = r.u32();
  if (!member_count) return Err{member_count.error()};
  stage.members.reserve(r.capacity_for(member_count.value(), kMinMemberBytes));
  for (std::uint32_t m = 0; m < member_count.value(); ++m) {
    StageOp member;
    auto op = r.string();
    if (!op) return Err{op.error()};
    member.op = std::move(op).value();
    auto ref_count = r.u32();
    if (!ref_count) return Err{ref_count.error()};
    member.refs.reserve(r.capacity_for(ref_count.value(), kMinRefBytes));
    for (std::uint32_t j = 0; j < ref_count.value(); ++j) {
      auto ref = read_ref(r, m);
      if (!ref) return Err{ref.error()};
      member.refs.push_back(ref.value());
    }
    stage.members.push_back(std::move(member));
  }
  return stage;
}

// The fields of one record of any kind but Stage, borrowed from the blob;
// the vectors are reused from one record to the next.
struct PlainFields {
  std::string_view name;
  DescriptorView descriptor;
  std::vector<ParamEntryView> params;
  std::vector<NodeId> inputs;

  KeyView view(NodeKind kind) {
    switch (kind) {
      case NodeKind::kSource:
        return KeyView::source(name, params);
      case NodeKind::kOp:
        return KeyView::op(name, inputs, params);
      case NodeKind::kReduction:
        return KeyView::reduction(name, inputs, params);
      case NodeKind::kExternal:
        return KeyView::external(descriptor, inputs, params);
      default:
        return KeyView::exchange(inputs, params);
    }
  }
};

Result<void, DecodeError> read_descriptor_view(Reader& r, DescriptorView& d) {
  std::optional<DecodeError> error;
  for_each_required_field(
      [&](std::size_t, std::string_view& field) {
        auto s = r.string_view();
        if (!s) {
          error = s.error();
          return false;
        }
        field = s.value();
        return true;
      },
      d);
  if (error) return Err{*error};
  auto present = r.u8();
  if (!present) return Err{present.error()};
  d.preprocessing_ref.reset();
  if (present.value() != 0) {  // any non-zero flag means present
    auto s = r.string_view();
    if (!s) return Err{s.error()};
    d.preprocessing_ref = s.value();
  }
  return {};
}

// The fields after the kind tag of record k (not a stage); ids must be below k.
Result<void, DecodeError> read_plain(Reader& r, NodeKind kind, std::uint64_t k, PlainFields& f) {
  if (has_name(kind)) {
    auto name = r.string_view();
    if (!name) return Err{name.error()};
    f.name = name.value();
  } else if (kind == NodeKind::kExternal) {
    if (auto d = read_descriptor_view(r, f.descriptor); !d) return d;
  }
  if (auto params = r.params(f.params); !params) return params;
  f.inputs.clear();
  if (kind == NodeKind::kSource) return {};
  return r.inputs(k, f.inputs);
}

// The records and the output list, interned as they are read.
// One node record read ahead of its turn: its fields (or, for a stage, its
// key) and its key prepared for interning.
struct RecordAhead {
  NodeKind kind = NodeKind::kSource;
  PlainFields fields;
  std::optional<NodeKey> stage;
  GraphStore::PreparedKey prepared;

  Result<NodeId, BadNodeId> intern(GraphStore::Bulk& bulk) {
    if (kind == NodeKind::kStage) return bulk.intern_prepared(*stage, prepared);
    return bulk.intern_prepared(fields.view(kind), prepared);
  }
};

std::optional<DecodeError> read_nodes(Reader& r, std::uint32_t node_count, GraphStore::Bulk& bulk,
                                      Cancel& cancel) {
  // Records are read and their keys packed a few places ahead of the one
  // being interned, so that the index slot each lookup starts at is already
  // on its way from memory. A record that fails to read stops the reading
  // ahead; its error is reported when its turn comes, after every record
  // before it is interned, exactly as reading one record at a time would.
  constexpr std::size_t kAhead = StoreTuning::kSequenceLookahead;
  std::array<RecordAhead, kAhead + 1> ring;
  std::uint64_t read = 0;  // records read into the ring so far
  std::optional<DecodeError> read_error;
  // The records still to come fit in the bytes left, which bounds the room
  // made for them.
  bulk.reserve(r.capacity_for(node_count, kMinNodeBytes));
  auto read_next = [&]() -> std::optional<DecodeError> {
    RecordAhead& next = ring[read % ring.size()];
    auto tag = r.u8();
    if (!tag) return tag.error();
    if (tag.value() > kMaxNodeTag) return DecodeError::invalid_tag("node", tag.value());
    next.kind = static_cast<NodeKind>(tag.value());
    if (next.kind == NodeKind::kStage) {
      auto stage = read_stage(r, read);
      if (!stage) return stage.error();
      next.stage.emplace(std::move(stage).value());
      bulk.prepare(*next.stage, next.prepared);
    } else {
      if (auto fields = read_plain(r, next.kind, read, next.fields); !fields) return fields.error();
      bulk.prepare(next.fields.view(next.kind), next.prepared);
    }
    ++read;
    return std::nullopt;
  };
  for (std::uint64_t k = 0; k < node_count; ++k) {
    cancel.check();
    while (!read_error && read < node_count && read <= k + kAhead) read_error = read_next();
    if (read == k) return read_error;  // record k did not read
    // Ids below k can still be missing from the store when an earlier record
    // repeated one before it and collapsed onto its id.
    const Result<NodeId, BadNodeId> id = ring[k % ring.size()].intern(bulk);
    if (!id) return DecodeError::reference_out_of_range(id.error().id);
  }

  auto output_count = r.u32();
  if (!output_count) return output_count.error();
  for (std::uint32_t i = 0; i < output_count.value(); ++i) {
    auto id = r.u64();
    if (!id) return id.error();
    auto marked = bulk.mark_output(id.value());
    if (!marked) return DecodeError::reference_out_of_range(marked.error().id);
  }
  return std::nullopt;
}

}  // namespace

std::size_t Reader::capacity_for(std::uint64_t count, std::size_t min_bytes) const {
  return static_cast<std::size_t>(std::min<std::uint64_t>(count, remaining() / min_bytes));
}

Result<std::uint8_t, DecodeError> Reader::u8() {
  if (remaining() < 1) return Err{DecodeError::truncated()};
  return bytes_[position_++];
}

Result<std::uint32_t, DecodeError> Reader::u32() {
  if (remaining() < 4) return Err{DecodeError::truncated()};
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= std::uint32_t{bytes_[position_ + i]} << (8 * i);
  position_ += 4;
  return v;
}

Result<std::uint64_t, DecodeError> Reader::u64() {
  if (remaining() < 8) return Err{DecodeError::truncated()};
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= std::uint64_t{bytes_[position_ + i]} << (8 * i);
  position_ += 8;
  return v;
}

Result<std::string_view, DecodeError> Reader::string_view() {
  const auto length = u32();
  if (!length) return Err{DecodeError::truncated()};  // the only way u32 fails
  const std::size_t n = length.value();
  if (remaining() < n) return Err{DecodeError::truncated()};
  const std::uint8_t* start = bytes_ + position_;
  if (!is_valid_utf8(start, n)) return Err{DecodeError::invalid_utf8()};
  position_ += n;
  return std::string_view(reinterpret_cast<const char*>(start), n);
}

// GCC 12 at -O2 takes the error copied out of the inlined string_view() for
// possibly uninitialized (a false positive: it is set on every failing path).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
Result<std::string, DecodeError> Reader::string() {
  auto text = string_view();
  if (!text) return Err{text.error()};
  return std::string(text.value());
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

Result<void, DecodeError> Reader::params(std::vector<ParamEntryView>& out) {
  out.clear();
  auto count = u32();
  if (!count) return Err{count.error()};
  // No reservation from the count: the vector grows with the entries read,
  // each of which took bytes of the blob.
  for (std::uint32_t i = 0; i < count.value(); ++i) {
    auto key = string_view();
    if (!key) return Err{key.error()};
    auto tag = u8();
    if (!tag) return Err{tag.error()};
    switch (tag.value()) {
      case 0: {
        auto v = u64();
        if (!v) return Err{v.error()};
        out.push_back({key.value(), ParamValueView(std::in_place_index<0>,
                                                   static_cast<std::int64_t>(v.value()))});
        break;
      }
      case 1: {
        auto v = u64();
        if (!v) return Err{v.error()};
        // The bits as written: a NaN keeps its payload.
        out.push_back({key.value(),
                       ParamValueView(std::in_place_index<1>, std::bit_cast<double>(v.value()))});
        break;
      }
      case 2: {
        auto v = u8();
        if (!v) return Err{v.error()};
        out.push_back({key.value(), ParamValueView(std::in_place_index<2>, v.value() != 0)});
        break;
      }
      case 3: {
        auto v = string_view();
        if (!v) return Err{v.error()};
        out.push_back({key.value(), ParamValueView(std::in_place_index<3>, v.value())});
        break;
      }
      default:
        static_assert(kMaxParamTag == 3);
        return Err{DecodeError::invalid_tag("param", tag.value())};
    }
  }
  return {};
}

Result<void, DecodeError> Reader::inputs(std::uint64_t limit, std::vector<NodeId>& out) {
  out.clear();
  auto count = u32();
  if (!count) return Err{count.error()};
  for (std::uint32_t i = 0; i < count.value(); ++i) {
    auto id = u64();
    if (!id) return Err{id.error()};
    if (id.value() >= limit) return Err{DecodeError::reference_out_of_range(id.value())};
    out.push_back(id.value());
  }
  return {};
}

Result<ParamMap, DecodeError> Reader::params() {
  std::vector<ParamEntryView> views;
  if (auto read = params(views); !read) return Err{read.error()};
  std::vector<ParamEntry> entries;
  entries.reserve(views.size());
  for (const ParamEntryView& view : views) {
    ParamValue value = ParamValue::boolean(false);
    switch (tag_of(view.value)) {
      case ParamTag::kInt:
        value = ParamValue::integer(*std::get_if<0>(&view.value));
        break;
      case ParamTag::kFloat:
        value = ParamValue::floating(*std::get_if<1>(&view.value));
        break;
      case ParamTag::kBool:
        value = ParamValue::boolean(*std::get_if<2>(&view.value));
        break;
      case ParamTag::kStr:
        value = ParamValue::string(std::string(*std::get_if<3>(&view.value)));
        break;
    }
    entries.push_back({std::string(view.key), std::move(value)});
  }
  return ParamMap(std::move(entries));
}

Result<NodeIds, DecodeError> Reader::inputs(std::uint64_t limit) {
  std::vector<NodeId> ids;
  if (auto read = inputs(limit, ids); !read) return Err{read.error()};
  return NodeIds(ids.begin(), ids.end());
}

Result<GraphStore, DecodeError> deserialize(std::span<const std::uint8_t> bytes, Cancel& cancel) {
  if (bytes.size() < sizeof kMagic) return Err{DecodeError::truncated()};
  if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return Err{DecodeError::bad_magic()};
  Reader r(bytes.subspan(sizeof kMagic));

  auto node_count = r.u32();
  if (!node_count) return Err{node_count.error()};
  GraphStore store;
  std::optional<DecodeError> error;
  store.fill(
      [&](GraphStore::Bulk& bulk) { error = read_nodes(r, node_count.value(), bulk, cancel); });
  if (error) return Err{*error};
  return store;
}

Result<GraphStore, DecodeError> deserialize(std::span<const std::uint8_t> bytes) {
  Cancel never;
  return deserialize(bytes, never);
}

}  // namespace tessary
