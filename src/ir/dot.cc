#include "ir/dot.h"

#include <bit>
#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "base/out_buffer.h"
#include "base/recent_cache.h"
#include "ir/node_records.h"
#include "ir/tuning.h"

namespace tessary {
namespace {

void append_id(std::string& out, NodeId id) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, id);
  out.append(buf, res.ptr);
}

// The DOT text, written straight into its buffer; each small write makes
// room once and is a few stores. Tracks whether every byte is ASCII (all
// but label texts are).
class DotText {
 public:
  DotText(const ResizeBuffer& resize, std::size_t expected) : out_(resize, expected) {}

  template <std::size_t N>
  void literal(const char (&text)[N]) {
    put(room(N - 1), text);
    out_.advance(N - 1);
  }
  // A label's text, `ascii` when none of its bytes is above 0x7F.
  void text(std::string_view s, bool ascii) {
    if (!s.empty()) std::memcpy(room(s.size()), s.data(), s.size());
    out_.advance(s.size());
    ascii_ = ascii_ && ascii;
  }
  // "  n<id> [label=\"": the start of a node line, up to its label.
  void node_line_start(NodeId id) {
    char* p = put(room(3 + kDigitCopy + 9), "  n");
    p += write_decimal(p, id);
    seek(put(p, " [label=\""));
  }
  // The end of a node line after its label.
  void node_line_end(bool output) {
    char* const start = room(sizeof "\", shape=doublecircle];\n");
    seek(output ? put(start, "\", shape=doublecircle];\n") : put(start, "\"];\n"));
  }
  // "  n<from> -> n<to>;\n".
  void edge_line(NodeId from, NodeId to) {
    char* p = put(room(3 + kDigitCopy + 5 + kDigitCopy + 2), "  n");
    p += write_decimal(p, from);
    p = put(p, " -> n");
    p += write_decimal(p, to);
    seek(put(p, ";\n"));
  }
  // Cuts the buffer to the text; true when the text is all ASCII.
  bool finish() {
    out_.finish();
    return ascii_;
  }

 private:
  static constexpr std::size_t kMaxDigits = 20;
  // write_decimal copies this many bytes whatever the number's length (a
  // fixed-size copy is a few moves; the bytes past the digits are left in
  // the free part of the buffer).
  static constexpr std::size_t kDigitCopy = 24;

  // Copies `text` without its terminator to `p`, which has room for it;
  // returns the end.
  template <std::size_t N>
  static char* put(char* p, const char (&text)[N]) {
    std::memcpy(p, text, N - 1);
    return p + N - 1;
  }
  // Where `n` bytes can be written (not counted as written until the cursor moves).
  char* room(std::size_t n) { return reinterpret_cast<char*>(out_.room(n)); }
  void seek(char* p) { out_.seek(reinterpret_cast<std::uint8_t*>(p)); }
  // Writes `v` in decimal at `p`, with room for kDigitCopy bytes there;
  // returns how many digits. Two digits at a time, from the last pair.
  static std::size_t write_decimal(char* p, std::uint64_t v) {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char digits[kMaxDigits + kDigitCopy] = {};
    char* d = digits + kMaxDigits;
    while (v >= 100) {
      const auto pair = static_cast<std::size_t>(v % 100);
      v /= 100;
      d -= 2;
      std::memcpy(d, kPairs + 2 * pair, 2);
    }
    if (v >= 10) {
      d -= 2;
      std::memcpy(d, kPairs + 2 * v, 2);
    } else {
      *--d = static_cast<char>('0' + v);
    }
    std::memcpy(p, d, kDigitCopy);
    return static_cast<std::size_t>(digits + kMaxDigits - d);
  }

  OutBuffer out_;
  bool ascii_ = true;
};

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

using Edges = std::vector<std::pair<NodeId, NodeId>>;

// An escaped label, and whether all its bytes are ASCII.
struct Label {
  std::string text;
  bool ascii = true;
};

bool is_ascii(std::string_view text) {
  std::uint8_t any = 0;
  for (const char c : text) any |= static_cast<std::uint8_t>(c);
  return any < 0x80;
}

// The escaped label of node `i` from its decoded record, and its edges into
// `edges` unless that is null.
void decoded_label(const NodeRecords& records, NodeId i, DecodedKey& key, std::string& label,
                   std::string& escaped, Edges* edges) {
  label.clear();
  if (records.decode(i, key)) {
    append_label(label, key, records);
    if (edges != nullptr) {
      for (const NodeId input : key.inputs.span()) edges->emplace_back(input, i);
    }
  } else {
    const NodeKey stage_key = records.key(i);
    const Stage& stage = std::get<Stage>(stage_key.variant());
    label.append("Stage[");
    append_id(label, stage.members.size());
    label.append(" members]");
    if (edges != nullptr) {
      for (const NodeId input : stage.inputs) edges->emplace_back(input, i);
    }
  }
  escaped.clear();
  append_escaped_label(escaped, label);
}

}  // namespace

bool to_dot(const GraphStore& store, Cancel& cancel, const ResizeBuffer& resize) {
  const NodeRecords records = store.records();
  const std::vector<bool> is_output = records.output_flags();
  // Node lines come first and edge lines after them, so each edge is kept as
  // its two ends until the node lines are written.
  Edges edges;
  edges.reserve(records.size() * 2);
  // The buffer starts at more than a node line and its edge lines usually
  // take (about 70 bytes on pipeline graphs), so it does not grow; the pages
  // of the room left over are never touched, and are dropped at the end.
  DotText out(resize, records.size() * 96 + 32);
  out.literal("digraph tessary {\n");
  // A label depends only on the stored bytes of a node's fields (names,
  // parameters, descriptor), which repeat on most nodes: escaped labels are
  // kept by those bytes. Records that keep raw NaN bits, and stages, are
  // labelled from their decoded keys each time.
  RecentCache<Label> labels(records.size(), StoreTuning::kDotLabelSlots);
  RecordParts parts;
  DecodedKey key;
  std::string label;
  std::string escaped;
  for (std::size_t i = 0; i < records.size(); ++i) {
    cancel.check();
    out.node_line_start(i);
    if (records.parts(i, parts)) {
      const std::string_view fields(reinterpret_cast<const char*>(parts.fields.data()),
                                    parts.fields.size());
      const std::size_t slot = labels.slot_of(fields);
      const Label* cached = labels.find(fields, slot);
      if (cached == nullptr) {
        decoded_label(records, i, key, label, escaped, nullptr);
        cached = &labels.put(fields, slot, Label{escaped, is_ascii(escaped)});
      }
      for (const NodeId input : parts.inputs.span()) edges.emplace_back(input, i);
      out.text(cached->text, cached->ascii);
    } else {
      decoded_label(records, i, key, label, escaped, &edges);
      out.text(escaped, is_ascii(escaped));
    }
    out.node_line_end(is_output[i]);
  }
  for (const auto& [from, to] : edges) out.edge_line(from, to);
  out.literal("}\n");
  return out.finish();
}

std::string to_dot(const GraphStore& store, Cancel& cancel) {
  std::string text;
  (void)to_dot(store, cancel, [&](std::size_t size) {
    text.resize(size);
    return reinterpret_cast<std::uint8_t*>(text.data());
  });
  return text;
}

std::string to_dot(const GraphStore& store) {
  Cancel never;
  return to_dot(store, never);
}

}  // namespace tessary
