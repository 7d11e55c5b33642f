#pragma once
// Text handling for the textual configuration arguments (`method`, `boundary`):
// normalisation (Unicode White_Space trimmed at both ends, ASCII capitals
// lowered, nothing else touched) and the quoted, escaped rendering of an
// argument used in error messages. Input is a sequence of code points exactly
// as the caller passed it, lone surrogates included; output of the rendering is
// always valid UTF-8, because every character that is not printable is escaped.

#include <string>
#include <string_view>

namespace ostrel {

// True for the characters with the Unicode White_Space property.
bool is_white_space(char32_t c);

// True for characters outside the general categories Cc, Cf, Cs, Co, Cn, Zl,
// Zp and Zs, and for U+0020 SPACE. Code points above U+10FFFF are not printable.
bool is_printable(char32_t c);

// True for characters with the Unicode Grapheme_Extend property.
bool is_grapheme_extend(char32_t c);

// Removes leading and trailing white space, then maps A-Z to a-z.
std::u32string normalise_text(std::u32string_view text);

// The argument in double quotes with `\\`, `\"`, `\t`, `\r`, `\n`, `\0`
// escapes, and `\u{hex}` for any other character that is not printable or that
// is grapheme-extending. Single quotes and printable non-ASCII characters stand
// as they are. The result is UTF-8.
std::string quote_text(std::u32string_view text);

}  // namespace ostrel
