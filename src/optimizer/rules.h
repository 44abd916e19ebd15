// The canonicalizing rules as data: eight commutative element-wise ops and
// four identity ops (adding 0.0 or multiplying by 1.0 on either side). The
// saturation engine parses them; the incremental reducer applies them locally.
#pragma once

#include <array>
#include <string_view>

#include "ir/node.h"

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
  std::string_view name;      // kebab case, e.g. "commute-add", "identity-0"
  std::string_view searcher;  // s-expression over node tokens
  std::string_view applier;
};

// The twelve rules in their fixed order, one row each: a commute rule per
// entry of kCommutativeOps, then an identity rule per entry of
// kIdentityTokens, in those lists' order.
inline constexpr std::array<RuleText, 12> kRules = {{
    {"commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)"},
    {"commute-mul", "(op|mul ?a ?b)", "(op|mul ?b ?a)"},
    {"commute-and", "(op|and ?a ?b)", "(op|and ?b ?a)"},
    {"commute-or", "(op|or ?a ?b)", "(op|or ?b ?a)"},
    {"commute-eq", "(op|eq ?a ?b)", "(op|eq ?b ?a)"},
    {"commute-ne", "(op|ne ?a ?b)", "(op|ne ?b ?a)"},
    {"commute-maximum", "(op|maximum ?a ?b)", "(op|maximum ?b ?a)"},
    {"commute-minimum", "(op|minimum ?a ?b)", "(op|minimum ?b ?a)"},
    {"identity-0", "(op|add|scalar=f0000000000000000;side=sr ?x)", "?x"},
    {"identity-1", "(op|add|scalar=f0000000000000000;side=sl ?x)", "?x"},
    {"identity-2", "(op|mul|scalar=f3ff0000000000000;side=sr ?x)", "?x"},
    {"identity-3", "(op|mul|scalar=f3ff0000000000000;side=sl ?x)", "?x"},
}};

bool is_commutative_op(std::string_view name);
bool is_identity_token(std::string_view token);
// Whether the token of `op` is one of kIdentityTokens, without making it.
bool is_identity_op(const Op& op);

}  // namespace tessary
