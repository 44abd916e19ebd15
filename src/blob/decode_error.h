// DecodeError: why a byte string is not a readable IR blob. Each alternative
// has one fixed message (message()).
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace tessary {

struct DecodeError {
  struct BadMagic {
    friend bool operator==(const BadMagic&, const BadMagic&) = default;
  };
  struct Truncated {
    friend bool operator==(const Truncated&, const Truncated&) = default;
  };
  struct InvalidTag {
    std::string what;  // "node", "param" or "stage-ref"
    std::uint8_t tag;
    friend bool operator==(const InvalidTag&, const InvalidTag&) = default;
  };
  struct InvalidUtf8 {
    friend bool operator==(const InvalidUtf8&, const InvalidUtf8&) = default;
  };
  struct ReferenceOutOfRange {
    std::uint64_t id;
    friend bool operator==(const ReferenceOutOfRange&, const ReferenceOutOfRange&) = default;
  };

  std::variant<BadMagic, Truncated, InvalidTag, InvalidUtf8, ReferenceOutOfRange> v;

  static DecodeError bad_magic() { return {BadMagic{}}; }
  static DecodeError truncated() { return {Truncated{}}; }
  static DecodeError invalid_tag(std::string what, std::uint8_t tag) {
    return {InvalidTag{std::move(what), tag}};
  }
  static DecodeError invalid_utf8() { return {InvalidUtf8{}}; }
  static DecodeError reference_out_of_range(std::uint64_t id) { return {ReferenceOutOfRange{id}}; }

  // "not a tessary IR blob (bad magic/version)", "truncated tessary IR blob",
  // "invalid {what} tag {tag}", "invalid utf-8 in tessary IR blob",
  // "node reference {id} out of range".
  std::string message() const;

  friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

}  // namespace tessary
