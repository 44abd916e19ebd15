#include "blob/decode_error.h"

namespace tessary {
namespace {

struct MessageOf {
  std::string operator()(const DecodeError::BadMagic&) const {
    return "not a tessary IR blob (bad magic/version)";
  }
  std::string operator()(const DecodeError::Truncated&) const {
    return "truncated tessary IR blob";
  }
  std::string operator()(const DecodeError::InvalidTag& e) const {
    return "invalid " + e.what + " tag " + std::to_string(static_cast<unsigned>(e.tag));
  }
  std::string operator()(const DecodeError::InvalidUtf8&) const {
    return "invalid utf-8 in tessary IR blob";
  }
  std::string operator()(const DecodeError::ReferenceOutOfRange& e) const {
    return "node reference " + std::to_string(e.id) + " out of range";
  }
};

}  // namespace

std::string DecodeError::message() const { return std::visit(MessageOf{}, v); }

}  // namespace tessary
