// The store's compact record form of a NodeKey. Strings become pool indices
// and integers LEB128 varints, so a typical op takes a few dozen bytes. The
// "equality bytes" of a record are canonical (NaN floats folded), so two keys
// are equal exactly when their equality bytes are; the raw bits of folded
// NaNs follow them so that a key decodes exactly as it was interned.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ir/key_view.h"
#include "ir/node.h"
#include "ir/string_pool.h"

namespace tessary {

struct PackedKey {
  std::string eq;                      // canonical equality bytes
  std::vector<std::uint64_t> nan_raw;  // raw bits of every NaN, when one is not canonical
};

// Encodes `key`. With `insert` false, strings are only looked up and the
// result is false when one is missing (then no equal key can be stored).
bool pack_key(const NodeKey& key, StringPool& pool, bool insert, PackedKey& out);
// The same for a view: exactly the bytes of the equal NodeKey.
bool pack_key(const KeyView& key, StringPool& pool, bool insert, PackedKey& out);
bool pack_key(const KeyWithInputs& key, StringPool& pool, bool insert, PackedKey& out);
bool pack_key(const StageView& key, StringPool& pool, bool insert, PackedKey& out);

// Size of the arena record for `packed`, and writing it.
std::size_t record_size(const PackedKey& packed);
void write_record(const PackedKey& packed, std::uint8_t* dst);

// The equality bytes of a stored record.
std::span<const std::uint8_t> record_eq_bytes(const std::uint8_t* record);

// Rebuilds the key a record was made from. `strings` are the pool's strings
// by index (StringPool::views, or a copy of its first entries).
NodeKey unpack_key(const std::uint8_t* record, std::span<const std::string_view> strings);
inline NodeKey unpack_key(const std::uint8_t* record, const StringPool& pool) {
  return unpack_key(record, pool.views());
}
// The same, also setting `fields` to the record's bytes apart from its
// inputs (as RecordParts::fields), or to empty for a stage or a record that
// keeps raw NaN bits.
NodeKey unpack_key(const std::uint8_t* record, std::span<const std::string_view> strings,
                   std::string_view& fields);

// A parameter entry of a decoded record: the key's pool index, the tag, and
// the value's bits (an Int's two's complement, a Float's raw bits, 0 or 1
// for a Bool, a Str's pool index).
struct DecodedParam {
  std::uint32_t key = 0;
  ParamTag tag = ParamTag::kInt;
  std::uint64_t bits = 0;
};

// The value of a decoded parameter, its string borrowed from `strings` (the
// strings the record was decoded with).
ParamValueView param_view(const DecodedParam& p, std::span<const std::string_view> strings);

// A record of any kind but Stage, decoded without building a key: strings
// stay pool indices. The vectors keep their capacity from one decode to the
// next, so a loop over many records decodes without allocating.
struct DecodedKey {
  NodeKind kind = NodeKind::kSource;
  std::uint32_t name = 0;  // Source, Op and Reduction
  // External: the required descriptor fields in order, then whether the
  // preprocessing reference is present and its index.
  std::array<std::uint32_t, kDescriptorFieldNames.size()> descriptor{};
  bool has_preprocessing_ref = false;
  std::uint32_t preprocessing_ref = 0;
  std::vector<DecodedParam> params;  // in map order
  NodeIds inputs;
};
// Fills `out` from `record`, whose string indices all lie in `strings` (the
// pool's strings, as for unpack_key); false (leaving `out` unspecified) for a
// stage. A Float comes out with the bits it was interned with, a NaN's
// payload too.
bool decode_record(const std::uint8_t* record, std::span<const std::string_view> strings,
                   DecodedKey& out);

// What a record says besides its inputs, read without rebuilding the key:
// its kind, the stored bytes of everything but the inputs (within one store,
// equal bytes mean keys equal but for their inputs, so equal tokens), and
// the inputs themselves.
struct RecordParts {
  NodeKind kind = NodeKind::kSource;
  std::span<const std::uint8_t> fields;
  NodeIds inputs;
};
// Fills `out` for a source, op, reduction, external or exchange record.
// False for a stage record, and for one that keeps raw NaN bits, which only
// the whole key carries.
bool read_record_parts(const std::uint8_t* record, RecordParts& out);

}  // namespace tessary
