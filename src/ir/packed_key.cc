#include "ir/packed_key.h"

#include <bit>
#include <cstring>

#include "base/fault.h"
#include "base/hash.h"
#include "base/overloaded.h"

namespace tessary {
namespace {

void put_varint(std::string& out, std::uint64_t v) {
  if (v < 0x80) {
    out.push_back(static_cast<char>(v));
    return;
  }
  char buf[10];
  std::size_t n = 0;
  while (v >= 0x80) {
    buf[n++] = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  buf[n++] = static_cast<char>(v);
  out.append(buf, n);
}

std::uint8_t* put_varint(std::uint8_t* p, std::uint64_t v) {
  while (v >= 0x80) {
    *p++ = static_cast<std::uint8_t>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<std::uint8_t>(v);
  return p;
}

// The one varint decoder: reads the LEB128 value at `p` and moves `p` past
// it. Faults on a value longer than 64 bits, or one that runs past `end`
// (null when the bytes are known to hold the whole value).
std::uint64_t read_varint(const std::uint8_t*& p, const std::uint8_t* end) {
  std::uint64_t v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (end != nullptr && p >= end) fault("corrupt packed key");
    const std::uint8_t b = *p++;
    v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if ((b & 0x80) == 0) return v;
  }
  fault("corrupt packed key");
}

std::size_t varint_size(std::uint64_t v) {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

void put_u64(std::string& out, std::uint64_t v) {
  char buf[8];
  std::memcpy(buf, &v, 8);
  out.append(buf, 8);
}

std::uint64_t zigzag(std::int64_t v) {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}

std::int64_t unzigzag(std::uint64_t v) {
  return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

ParamValueView view_of(const ParamValue& v) { return v.view(); }
const ParamValueView& view_of(const ParamValueView& v) { return v; }

// Writes fields into a PackedKey; fails (in lookup mode) on an unknown string.
class Encoder {
 public:
  Encoder(StringPool& pool, bool insert, PackedKey& out)
      : pool_(pool), insert_(insert), out_(out) {}

  bool ok() const { return ok_; }

  void tag(NodeKind kind) { out_.eq.push_back(static_cast<char>(kind)); }
  void u(std::uint64_t v) { put_varint(out_.eq, v); }

  void str(std::string_view s) {
    if (!ok_) return;
    if (insert_) {
      u(pool_.intern(s));
      return;
    }
    const auto id = pool_.find(s);
    if (!id) {
      ok_ = false;
      return;
    }
    u(*id);
  }

  void descriptor(const DescriptorView& d) {
    for_each_required_field([&](std::size_t, std::string_view field) { str(field); }, d);
    u(d.preprocessing_ref ? 1 : 0);
    if (d.preprocessing_ref) str(*d.preprocessing_ref);
  }

  // `entries` in map order: a ParamMap's entries or a view's.
  template <typename Entries>
  void params(const Entries& entries) {
    u(entries.size());
    for (const auto& e : entries) param(e.key, view_of(e.value));
  }

  void param(std::string_view key, const ParamValueView& v) {
    str(key);
    out_.eq.push_back(static_cast<char>(tag_of(v)));
    switch (tag_of(v)) {
      case ParamTag::kInt:
        u(zigzag(*std::get_if<0>(&v)));
        break;
      case ParamTag::kFloat: {
        const double value = *std::get_if<1>(&v);
        const auto raw = std::bit_cast<std::uint64_t>(value);
        const std::uint64_t canon = float_key_bits(value);
        put_u64(out_.eq, canon);
        if (canon == kCanonicalNan) {
          nans_.push_back(raw);
          if (raw != canon) any_odd_nan_ = true;
        }
        break;
      }
      case ParamTag::kBool:
        out_.eq.push_back(*std::get_if<2>(&v) ? 1 : 0);
        break;
      case ParamTag::kStr:
        str(*std::get_if<3>(&v));
        break;
    }
  }

  void ids(std::span<const NodeId> ids) {
    u(ids.size());
    for (const NodeId id : ids) u(id);
  }

  void finish() {
    if (any_odd_nan_) out_.nan_raw = std::move(nans_);
  }

 private:
  StringPool& pool_;
  bool insert_;
  PackedKey& out_;
  bool ok_ = true;
  std::vector<std::uint64_t> nans_;
  bool any_odd_nan_ = false;
};

// Bounds-checked reading of the bytes and varints of a record's fields.
class Cursor {
 public:
  Cursor(const std::uint8_t* p, const std::uint8_t* end) : p_(p), end_(end) {}

  const std::uint8_t* position() const { return p_; }

  std::uint8_t byte() {
    if (p_ >= end_) fault("corrupt packed key");
    return *p_++;
  }

  std::uint64_t u() { return read_varint(p_, end_); }

  // The raw bits of a stored float.
  std::uint64_t u64() {
    if (end_ - p_ < 8) fault("corrupt packed key");
    std::uint64_t bits;
    std::memcpy(&bits, p_, 8);
    p_ += 8;
    return bits;
  }

  NodeIds ids() {
    NodeIds out;
    ids(out);
    return out;
  }
  // The same into `out`, keeping its capacity.
  void ids(NodeIds& out) {
    const std::uint64_t n = u();
    out.clear();
    for (std::uint64_t i = 0; i < n; ++i) out.push_back(u());
  }

 protected:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

// Reads fields back from a record, in the order Encoder wrote them.
class Decoder : public Cursor {
 public:
  Decoder(const std::uint8_t* p, const std::uint8_t* end, const std::uint8_t* nan_p,
          std::size_t nan_count, std::span<const std::string_view> strings)
      : Cursor(p, end), nan_p_(nan_p), nan_left_(nan_count), strings_(strings) {}

  std::uint32_t index() {
    const std::uint64_t i = u();
    if (i >= strings_.size()) fault("corrupt packed key");
    return static_cast<std::uint32_t>(i);
  }
  std::string str() { return std::string(strings_[index()]); }

  // A stored float's bits, with a NaN's raw payload put back.
  std::uint64_t float_bits() {
    std::uint64_t bits = u64();
    if (bits == kCanonicalNan && nan_left_ > 0) {
      std::memcpy(&bits, nan_p_, 8);
      nan_p_ += 8;
      --nan_left_;
    }
    return bits;
  }

  void params(std::vector<DecodedParam>& out) {
    const std::uint64_t n = u();
    out.clear();
    for (std::uint64_t i = 0; i < n; ++i) {
      DecodedParam& p = out.emplace_back();
      p.key = index();
      p.tag = static_cast<ParamTag>(byte());
      switch (p.tag) {
        case ParamTag::kInt:
          p.bits = static_cast<std::uint64_t>(unzigzag(u()));
          break;
        case ParamTag::kFloat:
          p.bits = float_bits();
          break;
        case ParamTag::kBool:
          p.bits = byte() != 0 ? 1 : 0;
          break;
        case ParamTag::kStr:
          p.bits = index();
          break;
        default:
          fault("corrupt packed key");
      }
    }
  }

  ParamMap params() {
    const std::uint64_t n = u();
    std::vector<ParamEntry> entries;
    entries.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) {
      std::string key = str();
      const auto tag = static_cast<ParamTag>(byte());
      switch (tag) {
        case ParamTag::kInt:
          entries.push_back({std::move(key), ParamValue::integer(unzigzag(u()))});
          break;
        case ParamTag::kFloat:
          entries.push_back(
              {std::move(key), ParamValue::floating(std::bit_cast<double>(float_bits()))});
          break;
        case ParamTag::kBool:
          entries.push_back({std::move(key), ParamValue::boolean(byte() != 0)});
          break;
        case ParamTag::kStr:
          entries.push_back({std::move(key), ParamValue::string(str())});
          break;
        default:
          fault("corrupt packed key");
      }
    }
    // Entries were stored in map order, so no re-sorting is needed; building
    // through the constructor keeps the invariant checked in one place.
    return ParamMap(std::move(entries));
  }

 private:
  const std::uint8_t* nan_p_;
  std::size_t nan_left_;
  std::span<const std::string_view> strings_;
};

struct RecordLayout {
  const std::uint8_t* eq;
  std::size_t eq_len;
  const std::uint8_t* nan_raw;
  std::size_t nan_count;
};

RecordLayout read_layout(const std::uint8_t* record) {
  // A record's own length is in its header, so its two varints are read
  // bounded only by the longest a varint can be.
  const std::uint8_t* p = record;
  const std::uint64_t header = read_varint(p, nullptr);
  RecordLayout layout{p, static_cast<std::size_t>(header >> 1), nullptr, 0};
  if (header & 1) {
    const std::uint8_t* q = p + layout.eq_len;
    layout.nan_count = read_varint(q, nullptr);
    layout.nan_raw = q;
  }
  return layout;
}

// The record fields of every kind but Stage, in order: the tag, the name
// (Source, Op, Reduction) or the descriptor (External), the parameters, and
// the inputs (all but Source).
template <typename Entries>
void encode_fields(Encoder& enc, NodeKind kind, std::string_view name,
                   const DescriptorView* descriptor, const Entries& params,
                   std::span<const NodeId> inputs) {
  enc.tag(kind);
  switch (kind) {
    case NodeKind::kSource:
    case NodeKind::kOp:
    case NodeKind::kReduction:
      enc.str(name);
      break;
    case NodeKind::kExternal:
      enc.descriptor(*descriptor);
      break;
    case NodeKind::kExchange:
      break;
    case NodeKind::kStage:
      fault("stage fields encoded as a plain node");
  }
  enc.params(params);
  if (kind != NodeKind::kSource) enc.ids(inputs);
}

void encode_stage(Encoder& enc, const Stage& k) {
  enc.tag(NodeKind::kStage);
  enc.ids(k.inputs);
  enc.u(k.members.size());
  for (const StageOp& m : k.members) {
    enc.str(m.op);
    enc.u(m.refs.size());
    for (const StageRef& r : m.refs) {
      enc.u(static_cast<std::uint8_t>(r.tag));
      enc.u(r.index);
    }
  }
}

std::string_view name_of(const NodeKey& key) {
  return std::visit(Overloaded{[](const Source& k) -> std::string_view { return k.name; },
                               [](const Op& k) -> std::string_view { return k.name; },
                               [](const Reduction& k) -> std::string_view { return k.name; },
                               [](const auto&) { return std::string_view(); }},
                    key.variant());
}

}  // namespace

bool pack_key(const NodeKey& key, StringPool& pool, bool insert, PackedKey& out) {
  out.eq.clear();
  out.nan_raw.clear();
  Encoder enc(pool, insert, out);
  if (const Stage* stage = key.get_if<Stage>()) {
    encode_stage(enc, *stage);
  } else {
    const External* external = key.get_if<External>();
    const DescriptorView descriptor =
        external != nullptr ? DescriptorView::of(*external->descriptor) : DescriptorView{};
    encode_fields(enc, key.kind(), name_of(key), &descriptor, key.params()->entries(),
                  key.inputs());
  }
  enc.finish();
  return enc.ok();
}

bool pack_key(const KeyView& key, StringPool& pool, bool insert, PackedKey& out) {
  out.eq.clear();
  out.nan_raw.clear();
  Encoder enc(pool, insert, out);
  encode_fields(enc, key.kind(), key.name(), key.descriptor(), key.params(), key.inputs());
  enc.finish();
  return enc.ok();
}

std::size_t record_size(const PackedKey& packed) {
  const bool extra = !packed.nan_raw.empty();
  const std::uint64_t header =
      (static_cast<std::uint64_t>(packed.eq.size()) << 1) | (extra ? 1 : 0);
  std::size_t size = varint_size(header) + packed.eq.size();
  if (extra) size += varint_size(packed.nan_raw.size()) + 8 * packed.nan_raw.size();
  return size;
}

void write_record(const PackedKey& packed, std::uint8_t* dst) {
  const bool extra = !packed.nan_raw.empty();
  const std::uint64_t header =
      (static_cast<std::uint64_t>(packed.eq.size()) << 1) | (extra ? 1 : 0);
  dst = put_varint(dst, header);
  if (!packed.eq.empty()) std::memcpy(dst, packed.eq.data(), packed.eq.size());
  dst += packed.eq.size();
  if (extra) {
    dst = put_varint(dst, packed.nan_raw.size());
    std::memcpy(dst, packed.nan_raw.data(), 8 * packed.nan_raw.size());
  }
}

std::span<const std::uint8_t> record_eq_bytes(const std::uint8_t* record) {
  const RecordLayout layout = read_layout(record);
  return {layout.eq, layout.eq_len};
}

bool read_record_parts(const std::uint8_t* record, RecordParts& out) {
  const RecordLayout layout = read_layout(record);
  if (layout.nan_count != 0 || layout.eq_len == 0) return false;
  out.kind = static_cast<NodeKind>(layout.eq[0]);
  Cursor in(layout.eq + 1, layout.eq + layout.eq_len);
  // Everything before the inputs, as encode_fields wrote it.
  switch (out.kind) {
    case NodeKind::kSource:
    case NodeKind::kOp:
    case NodeKind::kReduction:
      (void)in.u();  // the name
      break;
    case NodeKind::kExternal:
      for (std::size_t field = 0; field < kDescriptorFieldNames.size(); ++field) (void)in.u();
      if (in.u() != 0) (void)in.u();  // the preprocessing reference, if present
      break;
    case NodeKind::kExchange:
      break;
    case NodeKind::kStage:
      return false;
    default:
      fault("corrupt packed key");
  }
  const std::uint64_t params = in.u();
  for (std::uint64_t i = 0; i < params; ++i) {
    (void)in.u();  // the key
    switch (static_cast<ParamTag>(in.byte())) {
      case ParamTag::kInt:
      case ParamTag::kStr:
        (void)in.u();
        break;
      case ParamTag::kFloat:
        (void)in.u64();
        break;
      case ParamTag::kBool:
        (void)in.byte();
        break;
      default:
        fault("corrupt packed key");
    }
  }
  out.fields = {layout.eq, static_cast<std::size_t>(in.position() - layout.eq)};
  out.inputs.clear();
  if (out.kind != NodeKind::kSource) out.inputs = in.ids();
  return true;
}

bool decode_record(const std::uint8_t* record, std::span<const std::string_view> strings,
                   DecodedKey& out) {
  const RecordLayout layout = read_layout(record);
  Decoder dec(layout.eq, layout.eq + layout.eq_len, layout.nan_raw, layout.nan_count, strings);
  out.kind = static_cast<NodeKind>(dec.byte());
  switch (out.kind) {
    case NodeKind::kSource:
    case NodeKind::kOp:
    case NodeKind::kReduction:
      out.name = dec.index();
      break;
    case NodeKind::kExternal:
      for (std::uint32_t& field : out.descriptor) field = dec.index();
      out.has_preprocessing_ref = dec.u() != 0;
      if (out.has_preprocessing_ref) out.preprocessing_ref = dec.index();
      break;
    case NodeKind::kExchange:
      break;
    case NodeKind::kStage:
      return false;
    default:
      fault("corrupt packed key");
  }
  dec.params(out.params);
  if (out.kind == NodeKind::kSource) {
    out.inputs.clear();
  } else {
    dec.ids(out.inputs);
  }
  return true;
}

NodeKey unpack_key(const std::uint8_t* record, std::span<const std::string_view> strings) {
  const RecordLayout layout = read_layout(record);
  Decoder dec(layout.eq, layout.eq + layout.eq_len, layout.nan_raw, layout.nan_count, strings);
  const auto kind = static_cast<NodeKind>(dec.byte());
  switch (kind) {
    case NodeKind::kSource: {
      Source k;
      k.name = dec.str();
      k.params = dec.params();
      return k;
    }
    case NodeKind::kOp: {
      Op k;
      k.name = dec.str();
      k.params = dec.params();
      k.inputs = dec.ids();
      return k;
    }
    case NodeKind::kReduction: {
      Reduction k;
      k.name = dec.str();
      k.params = dec.params();
      k.inputs = dec.ids();
      return k;
    }
    case NodeKind::kExternal: {
      External k;
      PayloadDescriptor& d = *k.descriptor;
      for_each_required_field([&](std::size_t, std::string& field) { field = dec.str(); }, d);
      if (dec.u() != 0) d.preprocessing_ref = dec.str();
      k.params = dec.params();
      k.inputs = dec.ids();
      return k;
    }
    case NodeKind::kStage: {
      Stage k;
      k.inputs = dec.ids();
      const std::uint64_t n = dec.u();
      k.members.reserve(n);
      for (std::uint64_t i = 0; i < n; ++i) {
        StageOp m;
        m.op = dec.str();
        const std::uint64_t refs = dec.u();
        m.refs.reserve(refs);
        for (std::uint64_t r = 0; r < refs; ++r) {
          const auto tag = static_cast<StageRef::Tag>(dec.u());
          m.refs.push_back(StageRef{tag, dec.u()});
        }
        k.members.push_back(std::move(m));
      }
      return k;
    }
    case NodeKind::kExchange: {
      Exchange k;
      k.params = dec.params();
      k.inputs = dec.ids();
      return k;
    }
  }
  fault("corrupt packed key");
}

}  // namespace tessary
