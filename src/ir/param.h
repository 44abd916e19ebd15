// Parameter values and maps: the settings a node carries (for example
// `scalar` and `side` on an element-wise op). A map is part of a node's
// identity, has one canonical text form (its token) and a display form.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tessary {

enum class ParamTag : std::uint8_t { kInt = 0, kFloat = 1, kBool = 2, kStr = 3 };

// A parameter value whose string is borrowed, with the alternatives in tag
// order. Building keys from borrowed text (see KeyView) costs no allocation.
using ParamValueView = std::variant<std::int64_t, double, bool, std::string_view>;

inline ParamTag tag_of(const ParamValueView& v) { return static_cast<ParamTag>(v.index()); }

// Appends the display form of `value` (see ParamValue::display).
void append_display(std::string& out, const ParamValueView& value);
// Appends the token of `value` (see ParamValue::token).
void append_token(std::string& out, const ParamValueView& value);

// A tagged value; the alternative index is the tag (Int, Float, Bool, Str).
class ParamValue {
 public:
  using Storage = std::variant<std::int64_t, double, bool, std::string>;

  static ParamValue integer(std::int64_t v) {
    return ParamValue(Storage(std::in_place_index<0>, v));
  }
  static ParamValue floating(double v) { return ParamValue(Storage(std::in_place_index<1>, v)); }
  static ParamValue boolean(bool v) { return ParamValue(Storage(std::in_place_index<2>, v)); }
  static ParamValue string(std::string v) {
    return ParamValue(Storage(std::in_place_index<3>, std::move(v)));
  }

  ParamTag tag() const { return static_cast<ParamTag>(v_.index()); }
  std::int64_t as_int() const { return std::get<0>(v_); }
  double as_float() const { return std::get<1>(v_); }
  bool as_bool() const { return std::get<2>(v_); }
  const std::string& as_str() const { return std::get<3>(v_); }
  const Storage& storage() const { return v_; }
  // The same value with its string borrowed from this one.
  ParamValueView view() const;

  // Canonical text: i42, f3ff0000000000000, btrue, sa%3Bb.
  std::string token() const;
  void append_token(std::string& out) const;
  // Human-readable form used in DOT labels: 1.5, -0, NaN, true, "r".
  std::string display() const;
  void append_display(std::string& out) const;

  // Floats compare by canonical bits: all NaNs are equal, 0.0 != -0.0.
  friend bool operator==(const ParamValue& a, const ParamValue& b);

 private:
  explicit ParamValue(Storage v) : v_(std::move(v)) {}
  Storage v_;
};

struct ParamEntry {
  std::string key;
  ParamValue value;

  friend bool operator==(const ParamEntry& a, const ParamEntry& b) = default;
};

// A parameter entry whose key and string value are borrowed.
struct ParamEntryView {
  std::string_view key;
  ParamValueView value;
};

// Puts entries in map order: ascending key bytes, stable, so entries with
// equal keys keep their given order and all of them stay. `Entry` is
// ParamEntry or ParamEntryView; both orders must agree, since a key built
// from views has to pack to the same bytes as the equal NodeKey.
template <typename Entry>
void sort_by_key(std::span<Entry> entries) {
  // string_view compares bytes as unsigned char, like std::string.
  const auto by_key = [](const Entry& a, const Entry& b) {
    return std::string_view(a.key) < std::string_view(b.key);
  };
  if (std::is_sorted(entries.begin(), entries.end(), by_key)) return;
  // Small maps (nearly all of them) take an insertion sort, which is stable
  // and, unlike std::stable_sort, never allocates a scratch buffer.
  constexpr std::size_t kInsertionSortMax = 16;
  if (entries.size() > kInsertionSortMax) {
    std::stable_sort(entries.begin(), entries.end(), by_key);
    return;
  }
  for (std::size_t i = 1; i < entries.size(); ++i) {
    Entry moving = std::move(entries[i]);
    std::size_t j = i;
    for (; j > 0 && by_key(moving, entries[j - 1]); --j) entries[j] = std::move(entries[j - 1]);
    entries[j] = std::move(moving);
  }
}

// Appends the token of the map whose entries, in map order, are `entries`
// (see ParamMap::token).
void append_params_token(std::string& out, std::span<const ParamEntryView> entries);

// Entries sorted by key bytes (stable: equal keys keep their given order;
// duplicates are kept). Immutable once built.
class ParamMap {
 public:
  ParamMap() = default;
  explicit ParamMap(std::vector<ParamEntry> entries);

  const std::vector<ParamEntry>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }

  // "scalar=f0000000000000000;side=sr"; the empty map's token is "".
  std::string token() const;
  void append_token(std::string& out) const;
  // Parses a map token; nullopt when the text is not a well-formed token.
  static std::optional<ParamMap> from_token(std::string_view text);

  // "{scalar=1, side="r"}"; the empty map shows as "{}".
  std::string display() const;
  void append_display(std::string& out) const;

  friend bool operator==(const ParamMap& a, const ParamMap& b) = default;

 private:
  std::vector<ParamEntry> entries_;
};

}  // namespace tessary
