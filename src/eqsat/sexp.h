// A small s-expression reader for pattern text. The tree is stored flat (no
// nested containers) and read with an explicit stack, so arbitrarily deep
// input neither recurses nor overflows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace tessary::eqsat {

// A reader error with the 1-based line and column of the position reached.
struct SexpError {
  std::string message;  // "End of file reached", "Unexpected )", "expected {} got {}"
  std::size_t line = 1;
  std::size_t column = 1;

  friend bool operator==(const SexpError&, const SexpError&) = default;
};

// Writes "{message} at line {line}, column {column}".
std::string to_string(const SexpError& error);

struct SexpNode {
  enum class Kind : std::uint8_t { kEmpty, kAtom, kList };
  Kind kind = Kind::kEmpty;
  std::string atom;                  // kAtom: the text (quotes removed)
  std::vector<std::uint32_t> items;  // kList: positions of the elements
};

// A parsed expression: nodes[root] is the whole expression; list elements
// are positions in `nodes`.
struct Sexp {
  std::vector<SexpNode> nodes;
  std::uint32_t root = 0;

  const SexpNode& at(std::uint32_t pos) const { return nodes[pos]; }
  // Renders the subtree at `pos` as text: atoms as they are, lists as "(a b)".
  std::string display(std::uint32_t pos) const;
};

// Reads one expression after trimming surrounding whitespace; text after it is
// ignored. The empty text reads as the empty expression.
[[nodiscard]] Result<Sexp, SexpError> parse_sexp(std::string_view text);

}  // namespace tessary::eqsat
