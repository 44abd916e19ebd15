#include "ir/param.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <type_traits>

#include "base/hash.h"
#include "ir/token.h"

namespace tessary {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void append_hex16(std::string& out, std::uint64_t bits) {
  for (int shift = 60; shift >= 0; shift -= 4) {
    out.push_back(kHexDigits[(bits >> shift) & 0xF]);
  }
}

void append_int(std::string& out, std::int64_t v) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

// Shortest decimal that reads back to the same double, never in exponent
// form and without a trailing ".0".
void append_float_display(std::string& out, double v) {
  if (std::isnan(v)) {
    out.append("NaN");
    return;
  }
  if (std::isinf(v)) {
    out.append(v < 0 ? "-inf" : "inf");
    return;
  }
  // The shortest round-trip digits come from the scientific form (at most 17
  // digits and a three-digit exponent); they are then laid out in fixed
  // notation. The fixed form of to_chars is not used: past 2^53 it prints a
  // large integral value's exact binary expansion, not its shortest digits.
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const char* p = buf;
  if (*p == '-') out.push_back(*p++);
  char digits[24];
  std::size_t n = 0;
  while (*p != 'e') {
    if (*p != '.') digits[n++] = *p;
    ++p;
  }
  int exponent = 0;
  (void)std::from_chars(p + (p[1] == '+' ? 2 : 1), res.ptr, exponent);
  // The value is 0.d1d2...dn times 10^(exponent + 1).
  const long point = exponent + 1;
  if (point <= 0) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-point), '0');
    out.append(digits, n);
  } else if (static_cast<std::size_t>(point) >= n) {
    out.append(digits, n);
    out.append(static_cast<std::size_t>(point) - n, '0');
  } else {
    out.append(digits, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits + point, n - static_cast<std::size_t>(point));
  }
}

// Hex digits after "f": optional '+', one or more hex digits, value fits 64 bits.
std::optional<std::uint64_t> parse_float_bits(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char ch : s) {
    int digit;
    if (ch >= '0' && ch <= '9') {
      digit = ch - '0';
    } else if (ch >= 'a' && ch <= 'f') {
      digit = ch - 'a' + 10;
    } else if (ch >= 'A' && ch <= 'F') {
      digit = ch - 'A' + 10;
    } else {
      return std::nullopt;
    }
    if (value >> 60 != 0) return std::nullopt;  // one more digit would overflow
    value = (value << 4) | static_cast<std::uint64_t>(digit);
  }
  return value;
}

// Decimal after "i": optional sign, one or more digits, within int64.
std::optional<std::int64_t> parse_int(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  // Accumulate the magnitude as unsigned so that -2^63 is representable.
  std::uint64_t magnitude = 0;
  const std::uint64_t limit = negative ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 63) - 1;
  for (const char ch : s) {
    if (ch < '0' || ch > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(ch - '0');
    if (magnitude > (limit - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  if (negative) {
    return static_cast<std::int64_t>(0 - magnitude);
  }
  return static_cast<std::int64_t>(magnitude);
}

std::optional<ParamValue> parse_value(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const char letter = text.front();
  const std::string_view rest = text.substr(1);
  switch (letter) {
    case 'b':
      if (rest == "true") return ParamValue::boolean(true);
      if (rest == "false") return ParamValue::boolean(false);
      return std::nullopt;
    case 'f': {
      const auto bits = parse_float_bits(rest);
      if (!bits) return std::nullopt;
      return ParamValue::floating(std::bit_cast<double>(*bits));
    }
    case 'i': {
      const auto v = parse_int(rest);
      if (!v) return std::nullopt;
      return ParamValue::integer(*v);
    }
    case 's':
      return ParamValue::string(unescape_token(rest));
    default:
      return std::nullopt;
  }
}

}  // namespace

bool operator==(const ParamValue& a, const ParamValue& b) {
  if (a.v_.index() != b.v_.index()) return false;
  switch (a.tag()) {
    case ParamTag::kInt:
      return a.as_int() == b.as_int();
    case ParamTag::kFloat:
      return float_key_bits(a.as_float()) == float_key_bits(b.as_float());
    case ParamTag::kBool:
      return a.as_bool() == b.as_bool();
    case ParamTag::kStr:
      return a.as_str() == b.as_str();
  }
  return false;
}

ParamValueView ParamValue::view() const {
  switch (tag()) {
    case ParamTag::kInt:
      return ParamValueView(std::in_place_index<0>, as_int());
    case ParamTag::kFloat:
      return ParamValueView(std::in_place_index<1>, as_float());
    case ParamTag::kBool:
      return ParamValueView(std::in_place_index<2>, as_bool());
    case ParamTag::kStr:
      return ParamValueView(std::in_place_index<3>, as_str());
  }
  return ParamValueView();
}

void append_token(std::string& out, const ParamValueView& value) {
  switch (tag_of(value)) {
    case ParamTag::kInt:
      out.push_back('i');
      append_int(out, *std::get_if<0>(&value));
      return;
    case ParamTag::kFloat:
      out.push_back('f');
      append_hex16(out, float_key_bits(*std::get_if<1>(&value)));
      return;
    case ParamTag::kBool:
      out.append(*std::get_if<2>(&value) ? "btrue" : "bfalse");
      return;
    case ParamTag::kStr:
      out.push_back('s');
      append_escaped(out, *std::get_if<3>(&value));
      return;
  }
}

void ParamValue::append_token(std::string& out) const { tessary::append_token(out, view()); }

std::string ParamValue::token() const {
  std::string out;
  append_token(out);
  return out;
}

void append_display(std::string& out, const ParamValueView& value) {
  switch (tag_of(value)) {
    case ParamTag::kInt:
      append_int(out, *std::get_if<0>(&value));
      return;
    case ParamTag::kFloat:
      append_float_display(out, *std::get_if<1>(&value));
      return;
    case ParamTag::kBool:
      out.append(*std::get_if<2>(&value) ? "true" : "false");
      return;
    case ParamTag::kStr:
      append_quoted(out, *std::get_if<3>(&value));
      return;
  }
}

void ParamValue::append_display(std::string& out) const { tessary::append_display(out, view()); }

std::string ParamValue::display() const {
  std::string out;
  append_display(out);
  return out;
}

ParamMap::ParamMap(std::vector<ParamEntry> entries) : entries_(std::move(entries)) {
  sort_by_key(std::span<ParamEntry>(entries_));
}

namespace {

// A map's token from its entries, ParamEntry or ParamEntryView, in map order.
template <typename Entries>
void append_entries_token(std::string& out, const Entries& entries) {
  bool first = true;
  for (const auto& e : entries) {
    if (!first) out.push_back(';');
    first = false;
    append_escaped(out, e.key);
    out.push_back('=');
    if constexpr (std::is_same_v<std::decay_t<decltype(e.value)>, ParamValue>) {
      e.value.append_token(out);
    } else {
      append_token(out, e.value);
    }
  }
}

}  // namespace

void ParamMap::append_token(std::string& out) const { append_entries_token(out, entries_); }

void append_params_token(std::string& out, std::span<const ParamEntryView> entries) {
  append_entries_token(out, entries);
}

std::string ParamMap::token() const {
  std::string out;
  append_token(out);
  return out;
}

std::optional<ParamMap> ParamMap::from_token(std::string_view text) {
  if (text.empty()) return ParamMap();
  std::vector<ParamEntry> entries;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = std::min(text.find(';', start), text.size());
    const std::string_view piece = text.substr(start, end - start);
    const std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos) return std::nullopt;  // also rejects empty pieces
    auto value = parse_value(piece.substr(eq + 1));
    if (!value) return std::nullopt;
    entries.push_back(ParamEntry{unescape_token(piece.substr(0, eq)), std::move(*value)});
    if (end == text.size()) break;
    start = end + 1;
  }
  return ParamMap(std::move(entries));
}

void ParamMap::append_display(std::string& out) const {
  out.push_back('{');
  bool first = true;
  for (const ParamEntry& e : entries_) {
    if (!first) out.append(", ");
    first = false;
    out.append(e.key);
    out.push_back('=');
    e.value.append_display(out);
  }
  out.push_back('}');
}

std::string ParamMap::display() const {
  std::string out;
  append_display(out);
  return out;
}

}  // namespace tessary
