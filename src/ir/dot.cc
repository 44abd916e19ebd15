#include "ir/dot.h"

#include <string_view>
#include <vector>

namespace tessary {
namespace {

// Appends `label` with every backslash doubled and every double quote
// preceded by a backslash; nothing else changes (a line feed stays as it is).
void append_escaped_label(std::string& out, std::string_view label) {
  for (const char ch : label) {
    if (ch == '\\' || ch == '"') out.push_back('\\');
    out.push_back(ch);
  }
}

void append_params(std::string& label, const ParamMap& params) {
  if (params.empty()) return;
  label.push_back(' ');
  params.append_display(label);
}

struct AppendLabel {
  std::string& label;

  void named(std::string_view kind, const std::string& name, const ParamMap& params) const {
    label.append(kind);
    label.push_back(' ');
    label.append(name);
    append_params(label, params);
  }
  void operator()(const Source& n) const { named("Source", n.name, n.params); }
  void operator()(const Op& n) const { named("Op", n.name, n.params); }
  void operator()(const Reduction& n) const { named("Reduction", n.name, n.params); }
  void operator()(const External& n) const {
    const PayloadDescriptor& d = *n.descriptor;
    label.append("External ");
    label.append(d.kind);
    label.push_back(':');
    label.append(d.content_hash);
    label.append(" [");
    label.append(d.framework);
    label.push_back(' ');
    label.append(d.version);
    label.push_back(']');
    append_params(label, n.params);
  }
  void operator()(const Stage& n) const {
    label.append("Stage[");
    label.append(std::to_string(n.members.size()));
    label.append(" members]");
  }
  void operator()(const Exchange& n) const {
    label.append("Exchange");
    append_params(label, n.params);
  }
};

}  // namespace

std::string to_dot(const GraphStore& store) {
  // The marks are known only once the visit is over, so node lines are
  // rendered without their ending first and `line_ends[i]` records where
  // node i's text stops; edges go to their own buffer.
  std::string nodes;
  std::string edges;
  std::vector<std::size_t> line_ends;
  std::string label;
  const NodeIds marks = store.visit_nodes([&](NodeId id, const NodeKey& key) {
    std::string name = std::to_string(id);
    name.insert(name.begin(), 'n');
    label.clear();
    std::visit(AppendLabel{label}, key.variant());
    nodes.append("  ");
    nodes.append(name);
    nodes.append(" [label=\"");
    append_escaped_label(nodes, label);
    nodes.push_back('"');
    line_ends.push_back(nodes.size());
    for (const NodeId input : key.inputs()) {
      edges.append("  n");
      edges.append(std::to_string(input));
      edges.append(" -> ");
      edges.append(name);
      edges.append(";\n");
    }
  });

  std::vector<bool> is_output(line_ends.size(), false);
  for (const NodeId id : marks) {
    if (id < is_output.size()) is_output[id] = true;
  }

  std::string out = "digraph tessary {\n";
  out.reserve(out.size() + nodes.size() + line_ends.size() * 24 + edges.size() + 2);
  std::size_t start = 0;
  for (std::size_t i = 0; i < line_ends.size(); ++i) {
    out.append(nodes, start, line_ends[i] - start);
    if (is_output[i]) out.append(", shape=doublecircle");
    out.append("];\n");
    start = line_ends[i];
  }
  out.append(edges);
  out.append("}\n");
  return out;
}

}  // namespace tessary
