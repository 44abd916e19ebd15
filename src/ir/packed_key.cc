#include "ir/packed_key.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/fault.h"
#include "base/hash.h"
#include "base/overloaded.h"
#include "base/varint.h"
#include "ir/record_walk.h"

namespace tessary {
namespace {

using record_walk_detail::read_varint;
using record_walk_detail::unzigzag;

std::size_t varint_size(std::uint64_t v) {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

std::uint64_t zigzag(std::int64_t v) {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}

ParamValueView view_of(const ParamValue& v) { return v.view(); }
const ParamValueView& view_of(const ParamValueView& v) { return v; }

// Writes fields into a PackedKey; fails (in lookup mode) on an unknown string.
class Encoder {
 public:
  // The equality bytes are written through a cursor into out.eq, which is
  // kept at least as long as what is written and cut to it by finish().
  Encoder(StringPool& pool, bool insert, PackedKey& out) : pool_(pool), insert_(insert), out_(out) {
    out_.eq.resize(out_.eq.capacity());
    p_ = begin();
    end_ = p_ + out_.eq.size();
  }

  bool ok() const { return ok_; }

  void tag(NodeKind kind) { byte(static_cast<std::uint8_t>(kind)); }
  void byte(std::uint8_t b) {
    *room(1) = b;
    ++p_;
  }
  void u(std::uint64_t v) { p_ = put_varint(room(10), v); }
  void u64(std::uint64_t v) {
    std::memcpy(room(8), &v, 8);
    p_ += 8;
  }

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
    byte(static_cast<std::uint8_t>(tag_of(v)));
    switch (tag_of(v)) {
      case ParamTag::kInt:
        u(zigzag(*std::get_if<0>(&v)));
        break;
      case ParamTag::kFloat: {
        const double value = *std::get_if<1>(&v);
        const auto raw = std::bit_cast<std::uint64_t>(value);
        const std::uint64_t canon = float_key_bits(value);
        u64(canon);
        if (canon == kCanonicalNan) {
          nans_.push_back(raw);
          if (raw != canon) any_odd_nan_ = true;
        }
        break;
      }
      case ParamTag::kBool:
        byte(*std::get_if<2>(&v) ? 1 : 0);
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
    out_.eq.resize(static_cast<std::size_t>(p_ - begin()));
    if (any_odd_nan_) out_.nan_raw = std::move(nans_);
  }

 private:
  std::uint8_t* begin() { return reinterpret_cast<std::uint8_t*>(out_.eq.data()); }

  // Where the next `n` bytes go, growing the string when they do not fit;
  // the caller moves p_ past what it writes.
  std::uint8_t* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) grow(n);
    return p_;
  }
  // Makes room for `n` more bytes at p_, at least doubling the string.
  [[gnu::noinline]] void grow(std::size_t n) {
    const auto used = static_cast<std::size_t>(p_ - begin());
    out_.eq.resize(std::max<std::size_t>(2 * out_.eq.size(), used + n));
    p_ = begin() + used;
    end_ = begin() + out_.eq.size();
  }

  StringPool& pool_;
  bool insert_;
  PackedKey& out_;
  bool ok_ = true;
  std::vector<std::uint64_t> nans_;
  bool any_odd_nan_ = false;
  std::uint8_t* p_;    // the next byte of out_.eq
  std::uint8_t* end_;  // the end of out_.eq as sized now
};

// Bounds-checked reading of the bytes and varints of a record's fields.
class Cursor {
 public:
  Cursor(const std::uint8_t* p, const std::uint8_t* end) : p_(p), end_(end) {}

  std::uint8_t byte() {
    if (p_ >= end_) fault("corrupt packed key");
    return *p_++;
  }

  std::uint64_t u() { return read_varint(p_, end_); }
  // Where the next read begins.
  const std::uint8_t* at() const { return p_; }

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

// `members`: a Stage's members or a view's.
template <typename Members>
void encode_stage(Encoder& enc, std::span<const NodeId> inputs, const Members& members) {
  enc.tag(NodeKind::kStage);
  enc.ids(inputs);
  enc.u(members.size());
  for (const auto& m : members) {
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

// Packs into `out` what `encode` writes: every pack_key runs through here.
template <typename Encode>
bool pack_with(StringPool& pool, bool insert, PackedKey& out, Encode&& encode) {
  out.eq.clear();
  out.nan_raw.clear();
  Encoder enc(pool, insert, out);
  encode(enc);
  enc.finish();
  return enc.ok();
}

}  // namespace

bool pack_key(const NodeKey& key, StringPool& pool, bool insert, PackedKey& out) {
  return pack_key(KeyWithInputs(key, key.inputs()), pool, insert, out);
}

bool pack_key(const KeyWithInputs& key, StringPool& pool, bool insert, PackedKey& out) {
  return pack_with(pool, insert, out, [&](Encoder& enc) {
    const NodeKey& k = key.key();
    if (const Stage* stage = k.get_if<Stage>()) {
      encode_stage(enc, key.inputs(), stage->members);
      return;
    }
    const External* external = k.get_if<External>();
    const DescriptorView descriptor =
        external != nullptr ? DescriptorView::of(*external->descriptor) : DescriptorView{};
    encode_fields(enc, k.kind(), name_of(k), &descriptor, k.params()->entries(), key.inputs());
  });
}

bool pack_key(const StageView& key, StringPool& pool, bool insert, PackedKey& out) {
  return pack_with(pool, insert, out,
                   [&](Encoder& enc) { encode_stage(enc, key.inputs(), key.members()); });
}

bool pack_key(const KeyView& key, StringPool& pool, bool insert, PackedKey& out) {
  return pack_with(pool, insert, out, [&](Encoder& enc) {
    encode_fields(enc, key.kind(), key.name(), key.descriptor(), key.params(), key.inputs());
  });
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
  const RecordLayout layout = record_layout(record);
  return {layout.eq, layout.eq_len};
}

bool read_record_parts(const std::uint8_t* record, RecordParts& out) {
  const RecordLayout layout = record_layout(record);
  if (layout.nan_count != 0 || layout.eq_len == 0) return false;
  // The parts keep the string indices as stored, so any index passes.
  struct Parts : RecordVisitor {
    RecordParts& out;
    const std::uint8_t* eq;
    explicit Parts(RecordParts& o, const std::uint8_t* e) : out(o), eq(e) {}
    void kind(NodeKind k) {
      out.kind = k;
      out.inputs.clear();
    }
    void fields_end(const std::uint8_t* p) { out.fields = {eq, static_cast<std::size_t>(p - eq)}; }
    void input(NodeId id) { out.inputs.push_back(id); }
  } parts(out, layout.eq);
  return walk_record(layout, UINT64_MAX, parts);
}

ParamValueView param_view(const DecodedParam& p, std::span<const std::string_view> strings) {
  switch (p.tag) {
    case ParamTag::kInt:
      return ParamValueView(std::in_place_index<0>, static_cast<std::int64_t>(p.bits));
    case ParamTag::kFloat:
      return ParamValueView(std::in_place_index<1>, std::bit_cast<double>(p.bits));
    case ParamTag::kBool:
      return ParamValueView(std::in_place_index<2>, p.bits != 0);
    case ParamTag::kStr:
      break;
  }
  return ParamValueView(std::in_place_index<3>, strings[static_cast<std::uint32_t>(p.bits)]);
}

bool decode_record(const std::uint8_t* record, std::span<const std::string_view> strings,
                   DecodedKey& out) {
  struct Decode : RecordVisitor {
    DecodedKey& out;
    explicit Decode(DecodedKey& o) : out(o) {}
    void kind(NodeKind k) {
      out.kind = k;
      out.params.clear();
      out.inputs.clear();
    }
    void name(std::uint32_t index) { out.name = index; }
    void descriptor(const std::uint32_t* fields, bool has_ref, std::uint32_t ref) {
      std::copy_n(fields, out.descriptor.size(), out.descriptor.begin());
      out.has_preprocessing_ref = has_ref;
      if (has_ref) out.preprocessing_ref = ref;
    }
    void param(std::uint32_t key, ParamTag tag, std::uint64_t bits) {
      out.params.push_back(DecodedParam{key, tag, bits});
    }
    void input(NodeId id) { out.inputs.push_back(id); }
  } decode(out);
  return walk_record(record_layout(record), strings.size(), decode);
}

namespace {

// unpack_key, also setting `fields_end` (for any kind but Stage) to where
// the record's inputs begin.
NodeKey unpack(const std::uint8_t* record, std::span<const std::string_view> strings,
               const std::uint8_t*& fields_end) {
  const RecordLayout layout = record_layout(record);
  Decoder dec(layout.eq, layout.eq + layout.eq_len, layout.nan_raw, layout.nan_count, strings);
  const auto kind = static_cast<NodeKind>(dec.byte());
  switch (kind) {
    case NodeKind::kSource: {
      Source k;
      k.name = dec.str();
      k.params = dec.params();
      fields_end = dec.at();
      return k;
    }
    case NodeKind::kOp: {
      Op k;
      k.name = dec.str();
      k.params = dec.params();
      fields_end = dec.at();
      k.inputs = dec.ids();
      return k;
    }
    case NodeKind::kReduction: {
      Reduction k;
      k.name = dec.str();
      k.params = dec.params();
      fields_end = dec.at();
      k.inputs = dec.ids();
      return k;
    }
    case NodeKind::kExternal: {
      External k;
      PayloadDescriptor& d = *k.descriptor;
      for_each_required_field([&](std::size_t, std::string& field) { field = dec.str(); }, d);
      if (dec.u() != 0) d.preprocessing_ref = dec.str();
      k.params = dec.params();
      fields_end = dec.at();
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
      fields_end = dec.at();
      k.inputs = dec.ids();
      return k;
    }
  }
  fault("corrupt packed key");
}

}  // namespace

NodeKey unpack_key(const std::uint8_t* record, std::span<const std::string_view> strings) {
  const std::uint8_t* fields_end = nullptr;
  return unpack(record, strings, fields_end);
}

NodeKey unpack_key(const std::uint8_t* record, std::span<const std::string_view> strings,
                   std::string_view& fields) {
  const std::uint8_t* fields_end = nullptr;
  NodeKey key = unpack(record, strings, fields_end);
  const RecordLayout layout = record_layout(record);
  // Raw NaN bits live beside the equality bytes, which then do not tell the
  // key apart.
  fields = fields_end == nullptr || layout.nan_count != 0
               ? std::string_view()
               : std::string_view(reinterpret_cast<const char*>(layout.eq),
                                  static_cast<std::size_t>(fields_end - layout.eq));
  return key;
}

}  // namespace tessary
