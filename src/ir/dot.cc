#include "ir/dot.h"

#include <array>
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
    char* p = put(room(3 + kMaxDigits + 9), "  n");
    p += write_decimal(p, id, node_);
    seek(put(p, " [label=\""));
  }
  // The end of a node line after its label.
  void node_line_end(bool output) {
    char* const start = room(sizeof "\", shape=doublecircle];\n");
    seek(output ? put(start, "\", shape=doublecircle];\n") : put(start, "\"];\n"));
  }
  // "  n<from> -> n<to>;\n".
  void edge_line(NodeId from, NodeId to) {
    char* p = put(room(3 + kMaxDigits + 5 + kMaxDigits + 2), "  n");
    p += write_decimal(p, from);
    p = put(p, " -> n");
    p += write_decimal(p, to, edge_to_);
    seek(put(p, ";\n"));
  }
  // Cuts the buffer to the text; true when the text is all ASCII.
  bool finish() {
    out_.finish();
    return ascii_;
  }

 private:
  static constexpr std::size_t kMaxDigits = 20;

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
  // How many decimal digits `v` has. Setting the low bit never crosses a
  // power of ten (they are even), and makes 0 count as one digit.
  static std::size_t decimal_digits(std::uint64_t v) {
    static constexpr auto kPowers = [] {
      std::array<std::uint64_t, kMaxDigits> powers{};
      std::uint64_t power = 1;
      for (std::uint64_t& p : powers) {
        p = power;
        power *= 10;  // wraps after the last, unused
      }
      return powers;
    }();
    const std::uint64_t w = v | 1;
    // log10(2) is about 1233 / 4096: t is the digit count, or one less.
    const auto t = static_cast<std::size_t>((std::bit_width(w) * 1233) >> 12);
    return t + (w >= kPowers[t] ? 1 : 0);
  }
  // Writes `v` in decimal at `p`, which has room for kMaxDigits bytes;
  // returns how many digits. Two digits at a time, from the last pair.
  static std::size_t write_decimal(char* p, std::uint64_t v) {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    const std::size_t n = decimal_digits(v);
    char* d = p + n;
    // Ids are below 2^32 (a store holds fewer nodes), where halving by 100
    // is a 32-bit multiply instead of a 64-bit one.
    auto two_digits = [&](auto& rest) {
      const auto pair = static_cast<std::size_t>(rest % 100);
      rest /= 100;
      d -= 2;
      std::memcpy(d, kPairs + 2 * pair, 2);
    };
    while (v > UINT32_MAX) two_digits(v);
    auto rest = static_cast<std::uint32_t>(v);
    while (rest >= 100) two_digits(rest);
    if (rest >= 10) {
      std::memcpy(d - 2, kPairs + 2 * rest, 2);
    } else {
      d[-1] = static_cast<char>('0' + rest);
    }
    return n;
  }

  // The digits of the number last written through it: node ids count up, and
  // a node's edges come together, so most ids need no conversion.
  struct LastDecimal {
    std::uint64_t value = 0;
    std::size_t size = 1;
    char digits[kMaxDigits] = {'0'};
  };
  // Writes `v` in decimal at `p` (room for kMaxDigits bytes) from `last`,
  // which it updates; returns how many digits.
  static std::size_t write_decimal(char* p, std::uint64_t v, LastDecimal& last) {
    if (v == last.value + 1 && v != 0) {
      // Adds one to the digits: trailing nines become zeros, and when all
      // were nines the number gains a leading one.
      std::size_t i = last.size;
      while (i > 0 && last.digits[i - 1] == '9') last.digits[--i] = '0';
      if (i > 0) {
        ++last.digits[i - 1];
      } else {
        last.digits[0] = '1';
        last.digits[last.size++] = '0';
      }
      last.value = v;
    } else if (v != last.value) {
      last.size = write_decimal(last.digits, v);
      last.value = v;
    }
    std::memcpy(p, last.digits, kMaxDigits);
    return last.size;
  }

  OutBuffer out_;
  LastDecimal node_;
  LastDecimal edge_to_;
  bool ascii_ = true;
};

// Appends `label` with every backslash doubled and every double quote
// preceded by a backslash; nothing else changes (a line feed stays as it is).
// Returns whether every byte is ASCII. The label is read eight bytes at a
// time, and only a word holding a character to escape is looked at bytewise.
bool append_escaped_label(std::string& out, std::string_view label) {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighs = 0x8080808080808080;
  // Nonzero exactly when some byte of `x` is zero.
  const auto zero_byte = [&](std::uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  const auto escapable = [](char c) { return c == '\\' || c == '"'; };
  std::size_t start = 0;  // the first byte not appended yet
  const auto escape_at = [&](std::size_t i) {
    out.append(label.data() + start, i - start);
    out.push_back('\\');
    start = i;  // the character itself goes out with the next run
  };
  std::uint64_t high = 0;
  std::size_t i = 0;
  for (; i + 8 <= label.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, label.data() + i, 8);
    high |= w;
    if ((zero_byte(w ^ (kOnes * '\\')) | zero_byte(w ^ (kOnes * '"'))) == 0) continue;
    for (std::size_t j = i; j < i + 8; ++j) {
      if (escapable(label[j])) escape_at(j);
    }
  }
  for (; i < label.size(); ++i) {
    high |= static_cast<std::uint8_t>(label[i]);
    if (escapable(label[i])) escape_at(i);
  }
  out.append(label.data() + start, label.size() - start);
  return (high & kHighs) == 0;
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
    append_display(label, param_view(p, records.strings()));
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

// An edge's two ends, from input to user. A store holds fewer than 2^32
// nodes, so each end fits 32 bits, which halves the memory the edges take.
using Edges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

void add_edge(Edges& edges, NodeId from, NodeId to) {
  edges.emplace_back(static_cast<std::uint32_t>(from), static_cast<std::uint32_t>(to));
}

// An escaped label, and whether all its bytes are ASCII.
struct Label {
  std::string text;
  bool ascii = true;
};

// The escaped label of node `i` from its decoded record, and its edges into
// `edges` unless that is null.
void decoded_label(const NodeRecords& records, NodeId i, DecodedKey& key, std::string& label,
                   Label& escaped, Edges* edges) {
  label.clear();
  if (records.decode(i, key)) {
    append_label(label, key, records);
    if (edges != nullptr) {
      for (const NodeId input : key.inputs.span()) add_edge(*edges, input, i);
    }
  } else {
    const NodeKey stage_key = records.key(i);
    const Stage& stage = std::get<Stage>(stage_key.variant());
    label.append("Stage[");
    append_id(label, stage.members.size());
    label.append(" members]");
    if (edges != nullptr) {
      for (const NodeId input : stage.inputs) add_edge(*edges, input, i);
    }
  }
  escaped.text.clear();
  escaped.ascii = append_escaped_label(escaped.text, label);
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
  Label escaped;
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
        cached = &labels.put(fields, slot, escaped);
      }
      for (const NodeId input : parts.inputs.span()) add_edge(edges, input, i);
      out.text(cached->text, cached->ascii);
    } else {
      decoded_label(records, i, key, label, escaped, &edges);
      out.text(escaped.text, escaped.ascii);
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
