#include "blob/writer.h"

#include <bit>
#include <optional>
#include <string_view>

#include "base/fault.h"
#include "blob/format.h"

namespace tessary {
namespace {

// Every length, count and stage reference index is a u32 in the blob.
constexpr std::uint64_t kU32Limit = std::uint64_t{1} << 32;
// Offset of the node count, written once the records are known.
constexpr std::size_t kNodeCountOffset = sizeof kMagic;

void put_u8(std::vector<std::uint8_t>& out, std::uint8_t v) { out.push_back(v); }

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  const std::size_t at = out.size();
  out.resize(at + 4);
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void put_u64(std::vector<std::uint8_t>& out, std::uint64_t v) {
  const std::size_t at = out.size();
  out.resize(at + 8);
  for (int i = 0; i < 8; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A length, count or index that the caller has already checked against the
// u32 limit; writing a cut-down value would make a blob that reads back wrong.
void put_u32_checked(std::vector<std::uint8_t>& out, std::uint64_t v) {
  if (v >= kU32Limit) fault("tessary IR blob value " + std::to_string(v) + " does not fit a u32");
  put_u32(out, static_cast<std::uint32_t>(v));
}

void put_string(std::vector<std::uint8_t>& out, std::string_view s) {
  put_u32_checked(out, s.size());
  out.insert(out.end(), s.begin(), s.end());
}

void put_ids(std::vector<std::uint8_t>& out, std::span<const NodeId> ids) {
  put_u32_checked(out, ids.size());
  for (const NodeId id : ids) put_u64(out, id);
}

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

std::optional<BlobTooLarge> check_params(const ParamMap& params) {
  if (auto e = check_count(params.size())) return e;
  for (const ParamEntry& entry : params.entries()) {
    if (auto e = check_string(entry.key)) return e;
    if (entry.value.tag() == ParamTag::kStr) {
      if (auto e = check_string(entry.value.as_str())) return e;
    }
  }
  return std::nullopt;
}

std::optional<BlobTooLarge> check_descriptor(const PayloadDescriptor& d) {
  std::optional<BlobTooLarge> error;
  for_each_required_field(
      [&](std::size_t, const std::string& field) {
        error = check_string(field);
        return !error;
      },
      d);
  if (error) return error;
  if (d.preprocessing_ref) return check_string(*d.preprocessing_ref);
  return std::nullopt;
}

std::optional<BlobTooLarge> check_members(const std::vector<StageOp>& members) {
  if (auto e = check_count(members.size())) return e;
  for (const StageOp& member : members) {
    if (auto e = check_string(member.op)) return e;
    if (auto e = check_count(member.refs.size())) return e;
    for (const StageRef& ref : member.refs) {
      if (ref.index >= kU32Limit) {
        return BlobTooLarge{"stage member reference index " + std::to_string(ref.index) +
                            " is too large for a tessary IR blob"};
      }
    }
  }
  return std::nullopt;
}

struct CheckKey {
  std::optional<BlobTooLarge> named(const std::string& name, const ParamMap& params) const {
    if (auto e = check_string(name)) return e;
    return check_params(params);
  }
  std::optional<BlobTooLarge> operator()(const Source& n) const { return named(n.name, n.params); }
  std::optional<BlobTooLarge> operator()(const Op& n) const {
    if (auto e = named(n.name, n.params)) return e;
    return check_count(n.inputs.size());
  }
  std::optional<BlobTooLarge> operator()(const Reduction& n) const {
    if (auto e = named(n.name, n.params)) return e;
    return check_count(n.inputs.size());
  }
  std::optional<BlobTooLarge> operator()(const External& n) const {
    if (auto e = check_descriptor(*n.descriptor)) return e;
    if (auto e = check_params(n.params)) return e;
    return check_count(n.inputs.size());
  }
  std::optional<BlobTooLarge> operator()(const Stage& n) const {
    if (auto e = check_count(n.inputs.size())) return e;
    return check_members(n.members);
  }
  std::optional<BlobTooLarge> operator()(const Exchange& n) const {
    if (auto e = check_params(n.params)) return e;
    return check_count(n.inputs.size());
  }
};

// --- Records: the kind tag, then the fields of that kind.

// Every length in `params` must fit a u32 (serialize_with checks them before
// writing); a longer one is an internal fault, never a cut-down length.
void put_params(std::vector<std::uint8_t>& buffer, const ParamMap& params) {
  put_u32_checked(buffer, params.size());
  for (const ParamEntry& entry : params.entries()) {
    put_string(buffer, entry.key);
    const ParamValue& value = entry.value;
    put_u8(buffer, static_cast<std::uint8_t>(value.tag()));
    switch (value.tag()) {
      case ParamTag::kInt:
        put_u64(buffer, static_cast<std::uint64_t>(value.as_int()));
        break;
      case ParamTag::kFloat:
        // The bits as stored: a NaN keeps its payload.
        put_u64(buffer, std::bit_cast<std::uint64_t>(value.as_float()));
        break;
      case ParamTag::kBool:
        put_u8(buffer, value.as_bool() ? 1 : 0);
        break;
      case ParamTag::kStr:
        put_string(buffer, value.as_str());
        break;
    }
  }
}

void put_members(std::vector<std::uint8_t>& out, const std::vector<StageOp>& members) {
  put_u32_checked(out, members.size());
  for (const StageOp& member : members) {
    put_string(out, member.op);
    put_u32_checked(out, member.refs.size());
    for (const StageRef& ref : member.refs) {
      put_u8(out, ref.tag == StageRef::Tag::kMember ? 1 : 0);
      put_u32_checked(out, ref.index);
    }
  }
}

struct PutFields {
  std::vector<std::uint8_t>& out;

  void operator()(const Source& n) const {
    put_string(out, n.name);
    put_params(out, n.params);
  }
  void operator()(const Op& n) const {
    put_string(out, n.name);
    put_params(out, n.params);
    put_ids(out, n.inputs);
  }
  void operator()(const Reduction& n) const {
    put_string(out, n.name);
    put_params(out, n.params);
    put_ids(out, n.inputs);
  }
  void operator()(const External& n) const {
    const PayloadDescriptor& d = *n.descriptor;
    for_each_required_field([&](std::size_t, const std::string& field) { put_string(out, field); },
                            d);
    put_u8(out, d.preprocessing_ref ? 1 : 0);
    if (d.preprocessing_ref) put_string(out, *d.preprocessing_ref);
    put_params(out, n.params);
    put_ids(out, n.inputs);
  }
  void operator()(const Stage& n) const {
    put_ids(out, n.inputs);
    put_members(out, n.members);
  }
  void operator()(const Exchange& n) const {
    put_params(out, n.params);
    put_ids(out, n.inputs);
  }
};

}  // namespace

Result<std::vector<std::uint8_t>, BlobTooLarge> serialize_with(const GraphStore& store,
                                                               std::span<const NodeId> outputs) {
  if (auto e = check_count(outputs.size())) return Err{std::move(*e)};
  std::vector<std::uint8_t> out;
  out.reserve(4096);
  out.insert(out.end(), std::begin(kMagic), std::end(kMagic));
  put_u32(out, 0);  // the node count, patched below

  // One pass under the store's lock; the store's own marks are not used.
  std::uint64_t count = 0;
  std::optional<BlobTooLarge> error;
  (void)store.visit_nodes([&](NodeId, const NodeKey& key) {
    if (error) return;
    error = std::visit(CheckKey{}, key.variant());
    if (!error) {
      put_u8(out, static_cast<std::uint8_t>(key.kind()));
      std::visit(PutFields{out}, key.variant());
    }
    ++count;
  });
  if (error) return Err{std::move(*error)};
  if (auto e = check_count(count)) return Err{std::move(*e)};

  for (int i = 0; i < 4; ++i) {
    out[kNodeCountOffset + i] = static_cast<std::uint8_t>(count >> (8 * i));
  }
  put_ids(out, outputs);
  return out;
}

}  // namespace tessary
