#include "optimizer/rules.h"

#include <algorithm>

namespace tessary {
namespace {

std::vector<RuleText> build_rules() {
  std::vector<RuleText> rules;
  for (const std::string_view name : kCommutativeOps) {
    const std::string n(name);
    rules.push_back({"commute-" + n, "(op|" + n + " ?a ?b)", "(op|" + n + " ?b ?a)"});
  }
  for (std::size_t i = 0; i < kIdentityTokens.size(); ++i) {
    const std::string token(kIdentityTokens[i]);
    rules.push_back({"identity-" + std::to_string(i), "(" + token + " ?x)", "?x"});
  }
  return rules;
}

}  // namespace

const std::vector<RuleText>& rule_texts() {
  static const std::vector<RuleText> kRules = build_rules();
  return kRules;
}

bool is_commutative_op(std::string_view name) {
  return std::find(kCommutativeOps.begin(), kCommutativeOps.end(), name) != kCommutativeOps.end();
}

bool is_identity_token(std::string_view token) {
  return std::find(kIdentityTokens.begin(), kIdentityTokens.end(), token) != kIdentityTokens.end();
}

}  // namespace tessary
