#include "optimizer/rules.h"

#include <algorithm>

namespace tessary {

bool is_commutative_op(std::string_view name) {
  return std::find(kCommutativeOps.begin(), kCommutativeOps.end(), name) != kCommutativeOps.end();
}

bool is_identity_token(std::string_view token) {
  return std::find(kIdentityTokens.begin(), kIdentityTokens.end(), token) != kIdentityTokens.end();
}

}  // namespace tessary
