#include "ir/dot.h"

#include <bit>
#include <charconv>
#include <string_view>
#include <utility>
#include <vector>

#include "ir/node_records.h"

namespace tessary {
namespace {

void append_id(std::string& out, NodeId id) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, id);
  out.append(buf, res.ptr);
}

// Appends `label` with every backslash doubled and every double quote
// preceded by a backslash; nothing else changes (a line feed stays as it is).
void append_escaped_label(std::string& out, std::string_view label) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < label.size(); ++i) {
    if (label[i] != '\\' && label[i] != '"') continue;
    out.append(label.data() + start, i - start);
    out.push_back('\\');
    start = i;  // the character itself goes out with the next run
  }
  out.append(label.data() + start, label.size() - start);
}

ParamValueView value_view(const DecodedParam& p, const NodeRecords& records) {
  switch (p.tag) {
    case ParamTag::kInt:
      return ParamValueView(std::in_place_index<0>, static_cast<std::int64_t>(p.bits));
    case ParamTag::kFloat:
      return ParamValueView(std::in_place_index<1>, std::bit_cast<double>(p.bits));
    case ParamTag::kBool:
      return ParamValueView(std::in_place_index<2>, p.bits != 0);
    case ParamTag::kStr:
      break;
  }
  return ParamValueView(std::in_place_index<3>, records.string(static_cast<std::uint32_t>(p.bits)));
}

// " {k=v, ...}" as ParamMap::append_display writes it; nothing for no parameters.
void append_params(std::string& label, const DecodedKey& key, const NodeRecords& records) {
  if (key.params.empty()) return;
  label.append(" {");
  bool first = true;
  for (const DecodedParam& p : key.params) {
    if (!first) label.append(", ");
    first = false;
    label.append(records.string(p.key));
    label.push_back('=');
    append_display(label, value_view(p, records));
  }
  label.push_back('}');
}

// The label of every kind but Stage.
void append_label(std::string& label, const DecodedKey& key, const NodeRecords& records) {
  switch (key.kind) {
    case NodeKind::kSource:
      label.append("Source ");
      break;
    case NodeKind::kOp:
      label.append("Op ");
      break;
    case NodeKind::kReduction:
      label.append("Reduction ");
      break;
    case NodeKind::kExternal: {
      const auto field = [&](std::size_t i) { return records.string(key.descriptor[i]); };
      label.append("External ");
      label.append(field(0));  // kind
      label.push_back(':');
      label.append(field(1));  // content hash
      label.append(" [");
      label.append(field(2));  // framework
      label.push_back(' ');
      label.append(field(3));  // version
      label.push_back(']');
      append_params(label, key, records);
      return;
    }
    case NodeKind::kExchange:
      label.append("Exchange");
      append_params(label, key, records);
      return;
    case NodeKind::kStage:
      return;
  }
  label.append(records.string(key.name));
  append_params(label, key, records);
}

}  // namespace

std::string to_dot(const GraphStore& store, Cancel& cancel) {
  const NodeRecords records = store.records();
  const std::vector<bool> is_output = records.output_flags();
  // Node lines come first and edge lines after them, so each edge is kept as
  // its two ends until the node lines are written.
  std::vector<std::pair<NodeId, NodeId>> edges;
  edges.reserve(records.size() * 2);
  std::string out = "digraph tessary {\n";
  // About what a node line and its edge lines take; growth covers the rest.
  out.reserve(records.size() * 64);
  std::string label;
  DecodedKey key;
  for (std::size_t i = 0; i < records.size(); ++i) {
    cancel.check();
    label.clear();
    if (records.decode(i, key)) {
      append_label(label, key, records);
      for (const NodeId input : key.inputs.span()) edges.emplace_back(input, i);
    } else {
      const NodeKey stage_key = records.key(i);
      const Stage& stage = std::get<Stage>(stage_key.variant());
      label.append("Stage[");
      append_id(label, stage.members.size());
      label.append(" members]");
      for (const NodeId input : stage.inputs) edges.emplace_back(input, i);
    }
    out.append("  n");
    append_id(out, i);
    out.append(" [label=\"");
    append_escaped_label(out, label);
    out.push_back('"');
    if (is_output[i]) out.append(", shape=doublecircle");
    out.append("];\n");
  }
  for (const auto& [from, to] : edges) {
    out.append("  n");
    append_id(out, from);
    out.append(" -> n");
    append_id(out, to);
    out.append(";\n");
  }
  out.append("}\n");
  return out;
}

std::string to_dot(const GraphStore& store) {
  Cancel never;
  return to_dot(store, never);
}

}  // namespace tessary
