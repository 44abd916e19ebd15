#include "ir/node.h"

#include "base/overloaded.h"
#include "ir/token.h"

namespace tessary {
namespace {

void append_with_params(std::string& out, const ParamMap& params) {
  if (!params.empty()) {
    out.push_back('|');
    params.append_token(out);
  }
}

}  // namespace

std::span<const NodeId> NodeKey::inputs() const {
  return std::visit(Overloaded{[](const Source&) { return std::span<const NodeId>(); },
                               [](const auto& k) { return std::span<const NodeId>(k.inputs); }},
                    v_);
}

const ParamMap* NodeKey::params() const {
  return std::visit(Overloaded{[](const Stage&) -> const ParamMap* { return nullptr; },
                               [](const auto& k) -> const ParamMap* { return &k.params; }},
                    v_);
}

void append_op_token(std::string& out, std::string_view name,
                     std::span<const ParamEntryView> params) {
  out.append("op|");
  append_escaped(out, name);
  if (!params.empty()) {
    out.push_back('|');
    append_params_token(out, params);
  }
}

std::string NodeKey::token() const {
  std::string out;
  append_token(out);
  return out;
}

void NodeKey::append_token(std::string& out) const {
  std::visit(Overloaded{
                 [&](const Source& k) {
                   out.append("src|");
                   append_escaped(out, k.name);
                   append_with_params(out, k.params);
                 },
                 [&](const Op& k) {
                   out.append("op|");
                   append_escaped(out, k.name);
                   append_with_params(out, k.params);
                 },
                 [&](const Reduction& k) {
                   out.append("red|");
                   append_escaped(out, k.name);
                   append_with_params(out, k.params);
                 },
                 [&](const External& k) {
                   // Descriptor fields are written raw, so a field holding "|"
                   // makes the token ambiguous; tokens of externals are never parsed.
                   const PayloadDescriptor& d = *k.descriptor;
                   out.append("ext|");
                   for_each_required_field(
                       [&](std::size_t, const std::string& field) {
                         out.append(field);
                         out.push_back('|');
                       },
                       d);
                   out.append(d.preprocessing_ref ? *d.preprocessing_ref : "-");
                   append_with_params(out, k.params);
                 },
                 [&](const Stage& k) {
                   out.append("stage|");
                   out.append(std::to_string(k.members.size()));
                 },
                 [&](const Exchange& k) {
                   out.append("exch");
                   append_with_params(out, k.params);
                 },
             },
             v_);
}

NodeKey NodeKey::with_inputs(NodeIds inputs) const& {
  return std::visit(Overloaded{[&](const Source& k) -> NodeKey { return k; },
                               [&](const auto& k) -> NodeKey {
                                 auto copy = k;
                                 copy.inputs = std::move(inputs);
                                 return copy;
                               }},
                    v_);
}

NodeKey NodeKey::with_inputs(NodeIds inputs) && {
  std::visit(Overloaded{[](Source&) {}, [&](auto& k) { k.inputs = std::move(inputs); }}, v_);
  return std::move(*this);
}

std::optional<ParsedOpToken> parse_op_token(std::string_view text) {
  const std::size_t bar1 = text.find('|');
  const std::string_view kind = text.substr(0, bar1);
  if (kind != "op" && kind != "red") return std::nullopt;
  if (bar1 == std::string_view::npos) return std::nullopt;  // no name piece
  const std::string_view rest = text.substr(bar1 + 1);
  const std::size_t bar2 = rest.find('|');
  ParsedOpToken parsed{std::string(kind), unescape_token(rest.substr(0, bar2)), ParamMap()};
  if (bar2 != std::string_view::npos) {
    auto params = ParamMap::from_token(rest.substr(bar2 + 1));
    if (!params) return std::nullopt;
    parsed.params = std::move(*params);
  }
  return parsed;
}

}  // namespace tessary
