// The canonicalizing rules as data: eight commutative element-wise ops and
// four identity ops (adding 0.0 or multiplying by 1.0 on either side). The
// saturation engine parses them; the incremental reducer applies them locally.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace tessary {

// Names of the two-operand ops whose operands may be swapped.
inline constexpr std::array<std::string_view, 8> kCommutativeOps = {
    "add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

// Tokens of the one-operand ops that stand for their operand.
inline constexpr std::array<std::string_view, 4> kIdentityTokens = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};

struct RuleText {
  std::string name;      // kebab case, e.g. "commute-add", "identity-0"
  std::string searcher;  // s-expression over node tokens
  std::string applier;
};

// The twelve rules in their fixed order: the commute rules in the order of
// kCommutativeOps, then the identity rules in the order of kIdentityTokens.
const std::vector<RuleText>& rule_texts();

bool is_commutative_op(std::string_view name);
bool is_identity_token(std::string_view token);

}  // namespace tessary
