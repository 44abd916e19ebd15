#include "ir/token.h"

#include <cstdint>
#include <cstdio>

namespace tessary {
namespace {

// Replaces every occurrence of `from` with `to`, scanning left to right.
std::string replace_all(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (true) {
    const std::size_t hit = text.find(from, pos);
    if (hit == std::string_view::npos) {
      out.append(text.substr(pos));
      return out;
    }
    out.append(text.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
}

// Decodes one UTF-8 sequence at `i`; invalid bytes decode as themselves
// (0x80..0xFF) one at a time, so the walk always advances.
std::uint32_t next_code_point(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  auto cont = [&](std::size_t k) -> int {
    if (i + k >= s.size()) return -1;
    const auto b = static_cast<unsigned char>(s[i + k]);
    return (b & 0xC0) == 0x80 ? (b & 0x3F) : -1;
  };
  if (b0 < 0x80) {
    i += 1;
    return b0;
  }
  if ((b0 & 0xE0) == 0xC0) {
    const int c1 = cont(1);
    if (c1 >= 0) {
      i += 2;
      return ((b0 & 0x1F) << 6) | c1;
    }
  } else if ((b0 & 0xF0) == 0xE0) {
    const int c1 = cont(1), c2 = cont(2);
    if (c1 >= 0 && c2 >= 0) {
      i += 3;
      return ((b0 & 0x0F) << 12) | (c1 << 6) | c2;
    }
  } else if ((b0 & 0xF8) == 0xF0) {
    const int c1 = cont(1), c2 = cont(2), c3 = cont(3);
    if (c1 >= 0 && c2 >= 0 && c3 >= 0) {
      i += 4;
      return ((b0 & 0x07) << 18) | (c1 << 12) | (c2 << 6) | c3;
    }
  }
  i += 1;
  return 0xFFFD;
}

bool in(std::uint32_t c, std::uint32_t lo, std::uint32_t hi) { return c >= lo && c <= hi; }

// Characters shown as \u{..}: controls, format characters, separators other
// than the plain space, private use, noncharacters and combining marks.
bool needs_unicode_escape(std::uint32_t c) {
  if (c < 0x20 || in(c, 0x7F, 0x9F)) return true;
  if (c == 0xAD || c == 0xA0 || c == 0x1680 || c == 0x061C || c == 0x180E) return true;
  if (in(c, 0x0300, 0x036F) || in(c, 0x0483, 0x0489) || in(c, 0x0591, 0x05BD)) return true;
  if (in(c, 0x0610, 0x061A) || in(c, 0x064B, 0x065F) || in(c, 0x0600, 0x0605)) return true;
  if (in(c, 0x1AB0, 0x1AFF) || in(c, 0x1DC0, 0x1DFF) || in(c, 0x20D0, 0x20FF)) return true;
  if (in(c, 0x2000, 0x200F) || in(c, 0x2028, 0x202F) || in(c, 0x205F, 0x206F)) return true;
  if (c == 0x3000 || in(c, 0xFE00, 0xFE0F) || in(c, 0xFE20, 0xFE2F) || c == 0xFEFF) return true;
  if (in(c, 0xD800, 0xDFFF) || in(c, 0xE000, 0xF8FF) || in(c, 0xFFF0, 0xFFFB)) return true;
  if ((c & 0xFFFE) == 0xFFFE || in(c, 0xFDD0, 0xFDEF)) return true;
  if (in(c, 0xE0000, 0xE0FFF) || c >= 0xF0000) return true;
  return false;
}

void append_code_point(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

void append_escaped(std::string& out, std::string_view text) {
  // Equivalent to the four ordered passes %, ;, =, |: the later passes only
  // ever produce "%3B", "%3D", "%7C", which the earlier passes never touch.
  // Runs of ordinary characters are copied in one piece.
  std::size_t plain = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* escaped = nullptr;
    switch (text[i]) {
      case '%':
        escaped = "%25";
        break;
      case ';':
        escaped = "%3B";
        break;
      case '=':
        escaped = "%3D";
        break;
      case '|':
        escaped = "%7C";
        break;
      default:
        continue;
    }
    out.append(text.substr(plain, i - plain));
    out.append(escaped, 3);
    plain = i + 1;
  }
  out.append(text.substr(plain));
}

std::string escape_token(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text);
  return out;
}

std::string unescape_token(std::string_view text) {
  if (text.find('%') == std::string_view::npos) {
    return std::string(text);
  }
  // Four whole-string passes in this order; "%257C" therefore becomes "%7C".
  std::string s = replace_all(text, "%7C", "|");
  s = replace_all(s, "%3D", "=");
  s = replace_all(s, "%3B", ";");
  return replace_all(s, "%25", "%");
}

void append_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    // Printable ASCII other than a backslash or a quote stands for itself:
    // such a run is copied in one piece.
    std::size_t run = i;
    while (run < text.size() && text[run] >= 0x20 && text[run] < 0x7F && text[run] != '\\' &&
           text[run] != '"') {
      ++run;
    }
    if (run > i) {
      out.append(text.data() + i, run - i);
      i = run;
      continue;
    }
    const std::size_t start = i;
    const std::uint32_t c = next_code_point(text, i);
    switch (c) {
      case '\\':
        out.append("\\\\");
        continue;
      case '"':
        out.append("\\\"");
        continue;
      case '\t':
        out.append("\\t");
        continue;
      case '\r':
        out.append("\\r");
        continue;
      case '\n':
        out.append("\\n");
        continue;
      case 0:
        out.append("\\0");
        continue;
      default:
        break;
    }
    if (needs_unicode_escape(c)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
      out.append(buf);
    } else if (c == 0xFFFD && i - start == 1) {
      append_code_point(out, c);  // a stray invalid byte shows as U+FFFD
    } else {
      out.append(text.substr(start, i - start));
    }
  }
  out.push_back('"');
}

std::string quote_display(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  append_quoted(out, text);
  return out;
}

}  // namespace tessary
