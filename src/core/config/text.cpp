// Text normalisation and quoted rendering of configuration arguments. Character
// classes come from the range tables generated from the Unicode Character
// Database (unicode_tables.hpp) and are looked up by binary search; the quoted
// rendering escapes every character that could not be shown safely on its own.

#include "config/text.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <span>

#include "config/unicode_tables.hpp"

namespace ostrel {
namespace {

using unicode::CodePointRange;

constexpr char32_t MAX_CODE_POINT = 0x10FFFF;

// The lookups below rely on each table being sorted with disjoint ranges.
constexpr bool is_sorted_and_disjoint(std::span<const CodePointRange> ranges) {
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (ranges[i].first > ranges[i].last) return false;
    if (i > 0 && ranges[i - 1].last >= ranges[i].first) return false;
  }
  return true;
}
static_assert(is_sorted_and_disjoint(unicode::NOT_PRINTABLE));
static_assert(is_sorted_and_disjoint(unicode::GRAPHEME_EXTEND));

// The White_Space property, unchanged since Unicode 6.3; short enough to list
// here rather than generate.
constexpr CodePointRange WHITE_SPACE[] = {
    {0x0009, 0x000D}, {0x0020, 0x0020}, {0x0085, 0x0085}, {0x00A0, 0x00A0}, {0x1680, 0x1680},
    {0x2000, 0x200A}, {0x2028, 0x2029}, {0x202F, 0x202F}, {0x205F, 0x205F}, {0x3000, 0x3000},
};
static_assert(is_sorted_and_disjoint(WHITE_SPACE));

bool in_ranges(std::span<const CodePointRange> ranges, char32_t c) {
  // The first range ending at or after c is the only one that can hold it.
  const auto it = std::ranges::lower_bound(ranges, c, {}, &CodePointRange::last);
  return it != ranges.end() && it->first <= c;
}

// Callers pass only printable characters, which are never surrogates and never
// above U+10FFFF, so the result is always well-formed UTF-8.
void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Appends `\u{hex}`: lower-case hex digits, no leading zeros.
void append_hex_escape(std::string& out, char32_t c) {
  char digits[8];
  const auto result =
      std::to_chars(digits, digits + sizeof digits, static_cast<std::uint32_t>(c), 16);
  out += "\\u{";
  out.append(digits, result.ptr);
  out += '}';
}

}  // namespace

bool is_white_space(char32_t c) { return in_ranges(WHITE_SPACE, c); }

bool is_printable(char32_t c) {
  return c <= MAX_CODE_POINT && !in_ranges(unicode::NOT_PRINTABLE, c);
}

bool is_grapheme_extend(char32_t c) { return in_ranges(unicode::GRAPHEME_EXTEND, c); }

std::u32string normalise_text(std::u32string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && is_white_space(text[begin])) ++begin;
  while (end > begin && is_white_space(text[end - 1])) --end;
  std::u32string result(text.substr(begin, end - begin));
  for (char32_t& c : result) {
    if (c >= U'A' && c <= U'Z') c += U'a' - U'A';
  }
  return result;
}

std::string quote_text(std::u32string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (const char32_t c : text) {
    switch (c) {
      case U'\\':
        out += "\\\\";
        break;
      case U'"':
        out += "\\\"";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        // A grapheme-extending mark is escaped even when printable: on its own
        // it would combine with the preceding character or quote.
        if (!is_printable(c) || is_grapheme_extend(c)) {
          append_hex_escape(out, c);
        } else {
          append_utf8(out, c);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace ostrel
