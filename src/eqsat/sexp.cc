#include "eqsat/sexp.h"

#include <optional>
#include <string>
#include <utility>

namespace tessary::eqsat {
namespace {

bool is_trim_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_trim_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_trim_space(text.back())) text.remove_suffix(1);
  return text;
}

// A cursor over the text that tracks the 1-based line and column.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }
  void advance() {
    if (text_[pos_] == '\n') {
      ++line_;
      column_ = 1;
    } else {
      ++column_;
    }
    ++pos_;
  }
  SexpError error(std::string message) const {
    return SexpError{std::move(message), line_, column_};
  }
  std::optional<SexpError> expect(char wanted) {
    if (at_end()) return error("End of file reached");
    if (peek() != wanted) {
      return error(std::string("expected ") + wanted + " got " + peek());
    }
    advance();
    return std::nullopt;
  }
  // Spaces and tabs; inside lists also carriage returns and line feeds.
  void skip(bool newlines) {
    while (!at_end()) {
      const char c = peek();
      if (c == ' ' || c == '\t' || (newlines && (c == '\r' || c == '\n'))) {
        advance();
      } else {
        return;
      }
    }
  }
  std::size_t pos() const { return pos_; }
  std::string_view slice(std::size_t from, std::size_t to) const {
    return text_.substr(from, to - from);
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t line_ = 1;
  std::size_t column_ = 1;
};

bool ends_atom(char c) { return c == ' ' || c == '\r' || c == '\n' || c == '(' || c == ')'; }

}  // namespace

std::string to_string(const SexpError& error) {
  return error.message + " at line " + std::to_string(error.line) + ", column " +
         std::to_string(error.column);
}

std::string Sexp::display(std::uint32_t pos) const {
  std::string out;
  // (node, next item) pairs of the lists being written.
  std::vector<std::pair<std::uint32_t, std::size_t>> open;
  auto emit = [&](std::uint32_t p) {
    const SexpNode& n = nodes[p];
    if (n.kind == SexpNode::Kind::kList) {
      out += '(';
      open.emplace_back(p, 0);
    } else {
      out += n.atom;
    }
  };
  emit(pos);
  while (!open.empty()) {
    auto& [list, next] = open.back();
    const auto& items = nodes[list].items;
    if (next == items.size()) {
      out += ')';
      open.pop_back();
      continue;
    }
    if (next > 0) out += ' ';
    const std::uint32_t item = items[next++];
    emit(item);
  }
  return out;
}

Result<Sexp, SexpError> parse_sexp(std::string_view text) {
  Sexp sexp;
  Reader in(trim(text));
  if (in.at_end()) {
    sexp.nodes.push_back(SexpNode{});
    return sexp;
  }

  std::vector<std::uint32_t> open;  // lists still being read, innermost last
  // Appends a node as the next element of the innermost open list.
  auto attach = [&](SexpNode node) {
    const auto pos = static_cast<std::uint32_t>(sexp.nodes.size());
    sexp.nodes.push_back(std::move(node));
    if (!open.empty()) sexp.nodes[open.back()].items.push_back(pos);
    return pos;
  };

  while (true) {
    if (!open.empty()) {
      in.skip(/*newlines=*/true);
      if (in.at_end()) return Err{in.error("End of file reached")};
      if (in.peek() == ')') {
        if (auto e = in.expect(')')) return Err{*e};
        in.skip(/*newlines=*/false);
        open.pop_back();
        if (open.empty()) return sexp;
        continue;
      }
    }

    // One expression.
    in.skip(/*newlines=*/false);
    if (in.at_end()) return Err{in.error("End of file reached")};
    const char c = in.peek();
    if (c == ')') return Err{in.error("Unexpected )")};
    if (c == '(') {
      if (auto e = in.expect('(')) return Err{*e};
      SexpNode list;
      list.kind = SexpNode::Kind::kList;
      open.push_back(attach(std::move(list)));
      continue;
    }
    SexpNode atom;
    atom.kind = SexpNode::Kind::kAtom;
    if (c == '"') {
      if (auto e = in.expect('"')) return Err{*e};
      const std::size_t start = in.pos();
      char previous = '"';
      while (!in.at_end() && !(in.peek() == '"' && previous != '\\')) {
        previous = in.peek();
        in.advance();
      }
      atom.atom = std::string(in.slice(start, in.pos()));
      if (auto e = in.expect('"')) return Err{*e};
    } else {
      const std::size_t start = in.pos();
      while (!in.at_end() && !ends_atom(in.peek())) in.advance();
      atom.atom = std::string(in.slice(start, in.pos()));
    }
    attach(std::move(atom));
    if (open.empty()) return sexp;
  }
}

}  // namespace tessary::eqsat
