#include "optimizer/rules.h"

#include <algorithm>
#include <array>

#include "base/fault.h"

namespace tessary {

bool is_commutative_op(std::string_view name) {
  return std::find(kCommutativeOps.begin(), kCommutativeOps.end(), name) != kCommutativeOps.end();
}

bool is_identity_token(std::string_view token) {
  return std::find(kIdentityTokens.begin(), kIdentityTokens.end(), token) != kIdentityTokens.end();
}

bool is_identity_op(const Op& op) {
  // The identity tokens read back once; an op's token is one of them exactly
  // when its name and parameters equal one's.
  static const std::array<ParsedOpToken, kIdentityTokens.size()> kIdentities = [] {
    std::array<ParsedOpToken, kIdentityTokens.size()> parsed;
    for (std::size_t i = 0; i < kIdentityTokens.size(); ++i) {
      auto token = parse_op_token(kIdentityTokens[i]);
      if (!token || token->kind != "op") fault("identity token does not parse as an op");
      parsed[i] = std::move(*token);
    }
    return parsed;
  }();
  return std::any_of(kIdentities.begin(), kIdentities.end(), [&](const ParsedOpToken& identity) {
    return op.name == identity.name && op.params == identity.params;
  });
}

}  // namespace tessary
