// Token escaping: the separators % ; = | inside names, keys and string values
// are written as %25 %3B %3D %7C so that tokens stay unambiguous.
#pragma once

#include <string>
#include <string_view>

namespace tessary {

std::string escape_token(std::string_view text);
// Appends escape_token(text) to `out`.
void append_escaped(std::string& out, std::string_view text);
std::string unescape_token(std::string_view text);

// The quoted display form of a string: "…" with \\ \" \t \r \n \0 escaped and
// non-printable or combining characters written as \u{hex}.
std::string quote_display(std::string_view text);
void append_quoted(std::string& out, std::string_view text);

}  // namespace tessary
