// Tests for text normalisation and quoted rendering: White_Space trimming, ASCII-only
// lowering, the escapes of the quoted form, and spot checks of the character classes
// generated from the Unicode Character Database 15.0.0.

#include "config/text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace ostrel {
namespace {

constexpr char32_t WHITE_SPACE[] = {
    0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680,
    0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
    0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
};

// Format characters and former white space that look blank but are not White_Space.
constexpr char32_t BLANK_LOOKING_NON_WHITE_SPACE[] = {0x200B, 0x180E, 0xFEFF, 0x2060, 0x001C};

TEST(NormaliseTextTest, TrimsEveryWhiteSpaceCharacterAtBothEnds) {
  for (const char32_t c : WHITE_SPACE) {
    SCOPED_TRACE(static_cast<std::uint32_t>(c));
    EXPECT_TRUE(is_white_space(c));
    const std::u32string padded = std::u32string{c, c} + U"a b" + c;
    EXPECT_EQ(normalise_text(padded), U"a b");
  }
}

TEST(NormaliseTextTest, KeepsBlankLookingCharactersThatAreNotWhiteSpace) {
  for (const char32_t c : BLANK_LOOKING_NON_WHITE_SPACE) {
    SCOPED_TRACE(static_cast<std::uint32_t>(c));
    EXPECT_FALSE(is_white_space(c));
    const std::u32string padded = std::u32string{c} + U" x " + c;
    EXPECT_EQ(normalise_text(padded), padded);
  }
}

TEST(NormaliseTextTest, ReducesEmptyOrAllWhiteSpaceToEmpty) {
  EXPECT_EQ(normalise_text(U""), U"");
  EXPECT_EQ(normalise_text(U" \t\u3000\u2028 \n"), U"");
}

TEST(NormaliseTextTest, LowersOnlyAsciiCapitals) {
  EXPECT_EQ(normalise_text(U"  MeTHOD_Z-A  "), U"method_z-a");
  // Neighbours of A-Z in ASCII, and non-ASCII capitals: É, KELVIN SIGN, Ǆ, Greek Σ.
  const std::u32string untouched = U"@[`{\u00C9\u212A\u01C4\u03A3";
  EXPECT_EQ(normalise_text(untouched), untouched);
}

struct QuoteCase {
  std::u32string input;
  std::string expected;
};

class QuoteTextTest : public testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteTextTest, RendersQuotedAndEscaped) {
  EXPECT_EQ(quote_text(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(ShortEscapes, QuoteTextTest,
                         testing::Values(QuoteCase{U"", R"("")"}, QuoteCase{U"a\\b", R"("a\\b")"},
                                         QuoteCase{U"say \"hi\"", R"("say \"hi\"")"},
                                         QuoteCase{U"\t\r\n", R"("\t\r\n")"},
                                         QuoteCase{std::u32string(1, U'\0') + U"x", R"("\0x")"},
                                         QuoteCase{U"it's a b", R"("it's a b")"}));

INSTANTIATE_TEST_SUITE_P(
    NotPrintableAsHex, QuoteTextTest,
    testing::Values(QuoteCase{U"\u0001", R"("\u{1}")"},  // C0 control
                    QuoteCase{U"\u001F\u007F", R"("\u{1f}\u{7f}")"},
                    QuoteCase{U"\u0085\u009F", R"("\u{85}\u{9f}")"},  // C1 controls
                    QuoteCase{U"\u00A0", R"("\u{a0}")"},              // NBSP (Zs)
                    QuoteCase{U"\u3000", R"("\u{3000}")"},            // IDEOGRAPHIC SPACE
                    QuoteCase{U"\u0378", R"("\u{378}")"},             // unassigned
                    QuoteCase{U"\uE000", R"("\u{e000}")"},            // private use
                    QuoteCase{std::u32string{0xD800, 0xDFFF}, R"("\u{d800}\u{dfff}")"},
                    QuoteCase{U"\u00AD\u200B\u200D", R"("\u{ad}\u{200b}\u{200d}")"},  // Cf
                    QuoteCase{U"\u2028\u2029", R"("\u{2028}\u{2029}")"},
                    QuoteCase{U"\U0010FFFF", R"("\u{10ffff}")"},
                    QuoteCase{std::u32string{0x110000, 0xFFFFFFFF},
                              R"("\u{110000}\u{ffffffff}")"}));

INSTANTIATE_TEST_SUITE_P(GraphemeExtendAsHex, QuoteTextTest,
                         testing::Values(QuoteCase{U"e\u0301", R"("e\u{301}")"},
                                         QuoteCase{U"\u2764\uFE0F", "\"\u2764\\u{fe0f}\""},
                                         QuoteCase{U"\u200C", R"("\u{200c}")"},
                                         QuoteCase{U"\u09BE\uFF9E",
                                                   R"("\u{9be}\u{ff9e}")"},  // Mc and Lm marks
                                         QuoteCase{U"\U000E0020", R"("\u{e0020}")"}));

// UTF-8 output across the 1/2/3/4-byte boundaries.
INSTANTIATE_TEST_SUITE_P(
    PrintableAsUtf8, QuoteTextTest,
    testing::Values(QuoteCase{U"Az09~!", R"("Az09~!")"},
                    QuoteCase{U"\u00E9\u07FF", "\"\xC3\xA9\xDF\xBF\""},
                    QuoteCase{U"\u0800\u4E2D\uFFFD", "\"\xE0\xA0\x80\xE4\xB8\xAD\xEF\xBF\xBD\""},
                    QuoteCase{U"\U00010000\U0001F600", "\"\xF0\x90\x80\x80\xF0\x9F\x98\x80\""},
                    QuoteCase{U"\u0903\U0001F3FB", "\"\xE0\xA4\x83\xF0\x9F\x8F\xBB\""}));

// Character classes at range boundaries, checked by hand against UnicodeData.txt and
// DerivedCoreProperties.txt 15.0.0. U+1FAF8 and U+323AF were assigned in 15.0.
struct ClassCase {
  char32_t c;
  bool printable;
  bool grapheme_extend;
};

class CharacterClassTest : public testing::TestWithParam<ClassCase> {};

TEST_P(CharacterClassTest, MatchesUnicodeCharacterDatabase) {
  EXPECT_EQ(is_printable(GetParam().c), GetParam().printable);
  EXPECT_EQ(is_grapheme_extend(GetParam().c), GetParam().grapheme_extend);
}

INSTANTIATE_TEST_SUITE_P(
    Ucd15, CharacterClassTest,
    testing::Values(ClassCase{0x0000, false, false}, ClassCase{0x0020, true, false},
                    ClassCase{0x007E, true, false}, ClassCase{0x00A1, true, false},
                    ClassCase{0x0377, true, false}, ClassCase{0x0378, false, false},
                    ClassCase{0x037A, true, false}, ClassCase{0x0488, true, true},
                    ClassCase{0x0903, true, false}, ClassCase{0x200C, false, true},
                    ClassCase{0x200D, false, false}, ClassCase{0xD7A3, true, false},
                    ClassCase{0xF8FF, false, false}, ClassCase{0xF900, true, false},
                    ClassCase{0xFFFE, false, false}, ClassCase{0x1F3FB, true, false},
                    ClassCase{0x1FAF8, true, false}, ClassCase{0x323AF, true, false},
                    ClassCase{0x323B0, false, false}, ClassCase{0x1E4EF, true, true},
                    ClassCase{0xE01EF, true, true}, ClassCase{0xE01F0, false, false},
                    ClassCase{0x10FFFD, false, false}, ClassCase{0x110000, false, false}));

}  // namespace
}  // namespace ostrel
