// PayloadDescriptor: the reproducibility metadata an External node carries
// (what payload it is, its content hash, the framework and version that made
// it, its schema and an optional preprocessing reference).
#pragma once

#include <optional>
#include <string>

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

}  // namespace tessary
