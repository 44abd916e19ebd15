// PayloadDescriptor: the reproducibility metadata an External node carries
// (what payload it is, its content hash, the framework and version that made
// it, its schema and an optional preprocessing reference).
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace tessary {

struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  // Absent is distinct from the empty string.
  std::optional<std::string> preprocessing_ref;

  friend bool operator==(const PayloadDescriptor& a, const PayloadDescriptor& b) = default;
};

// The names of the five required text fields, in their fixed order: the
// order of the blob, the token, the packed key, the view and the Python
// constructor. preprocessing_ref, which may be absent, comes after them.
inline constexpr std::array<std::string_view, 5> kDescriptorFieldNames = {
    "kind", "content_hash", "framework", "version", "io_schema"};

// The one walk over the required fields: calls `f(i, field...)` for each,
// in the order of kDescriptorFieldNames, with that field of every one of
// `ds` (PayloadDescriptors, const or not, or DescriptorViews), so one walk
// can also copy between them. When `f` returns bool, the walk stops at the
// first false and returns false; otherwise it returns true.
template <typename F, typename... Descriptors>
bool for_each_required_field(F&& f, Descriptors&... ds) {
  auto visit = [&f](std::size_t i, auto&... field) -> bool {
    if constexpr (std::is_void_v<decltype(f(i, field...))>) {
      f(i, field...);
      return true;
    } else {
      return f(i, field...);
    }
  };
  return visit(0, ds.kind...) && visit(1, ds.content_hash...) && visit(2, ds.framework...) &&
         visit(3, ds.version...) && visit(4, ds.io_schema...);
}

}  // namespace tessary
