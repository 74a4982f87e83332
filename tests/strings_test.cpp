// String helpers: number text both ways, single characters and bytes, searching.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

#include "framework/strings.h"

namespace {

using framework::Asc;
using framework::Chr;
using framework::ChrB;
using framework::InStr;
using framework::Str;
using framework::Val;

struct ValCase {
  const char* text;
  double expected;
};

// Shown in the test list and in failures instead of the bytes of the case.
void PrintTo(const ValCase& c, std::ostream* os) {
  *os << "Val(\"";
  for (const char* p = c.text; *p; ++p) {
    if (*p == '\r') *os << "\\r";
    else if (*p == '\t') *os << "\\t";
    else *os << *p;
  }
  *os << "\") = " << c.expected;
}

class ValTest : public ::testing::TestWithParam<ValCase> {};

TEST_P(ValTest, ReadsTheLongestValidPrefix) {
  const ValCase& c = GetParam();
  EXPECT_EQ(Val(c.text), c.expected) << "Val(\"" << c.text << "\")";
}

INSTANTIATE_TEST_SUITE_P(
    Hexadecimal, ValTest,
    ::testing::Values(ValCase{"&h23", 35}, ValCase{"&hff", 255}, ValCase{"&hFF", 255},
                      ValCase{"&HfF", 255}, ValCase{"&h7F", 127}, ValCase{"&h00", 0},
                      ValCase{"&h0A", 10}, ValCase{"&h", 0}, ValCase{"&hZZ", 0},
                      ValCase{"&h :", 0}, ValCase{"&h1G", 1}, ValCase{"&hG1", 0},
                      ValCase{"&h1\r", 1}, ValCase{"&h10000", 65536},
                      ValCase{"&hFFFFFFFF", 4294967295.0}, ValCase{"&", 0}, ValCase{"h23", 0}));

INSTANTIATE_TEST_SUITE_P(
    Decimal, ValTest,
    ::testing::Values(ValCase{"0", 0}, ValCase{"42", 42}, ValCase{"-17", -17}, ValCase{"+8", 8},
                      ValCase{"115200", 115200}, ValCase{"3.25", 3.25}, ValCase{".5", 0.5},
                      ValCase{"5.", 5}, ValCase{"1e3", 1000}, ValCase{"2E-1", 0.2},
                      ValCase{"1e", 1}, ValCase{"1e+", 1}, ValCase{"12abc", 12},
                      ValCase{"  7", 7}, ValCase{"\t9", 9}, ValCase{"", 0}, ValCase{".", 0},
                      ValCase{"-", 0}, ValCase{"abc", 0}, ValCase{"inf", 0}, ValCase{"nan", 0},
                      ValCase{"0x1F", 0}, ValCase{"1,5", 1}, ValCase{"4 2", 4}));

TEST(ValRange, OutOfRangeGivesTheNearestValueAndNeverThrows) {
  EXPECT_EQ(Val("1e999"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(Val("-1e999"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(Val("1e-999"), 0.0);
  EXPECT_NO_THROW(Val(std::string(100000, '9')));
  EXPECT_NO_THROW(Val("&h" + std::string(100000, 'F')));
}

TEST(ValHexPair, EveryByteValueRoundTripsThroughTwoHexDigits) {
  const char* digits = "0123456789ABCDEF";
  for (int v = 0; v < 256; ++v) {
    std::string upper = std::string("&h") + digits[v >> 4] + digits[v & 15];
    std::string lower = upper;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    lower[1] = 'h';
    EXPECT_EQ(static_cast<std::int32_t>(Val(upper)), v) << upper;
    EXPECT_EQ(static_cast<std::int32_t>(Val(lower)), v) << lower;
  }
}

TEST(StrTest, WritesDecimalForEveryWidthAndSign) {
  struct Case {
    std::string got, expected;
  } cases[] = {
      {Str(0), "0"},
      {Str(-1), "-1"},
      {Str(2147483647), "2147483647"},
      {Str(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {Str(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
      {Str(4294967295u), "4294967295"},
      {Str(static_cast<std::uint16_t>(65535)), "65535"},
      {Str(static_cast<std::uint8_t>(255)), "255"},
      {Str(static_cast<std::uint8_t>(0)), "0"},
      {Str(true), "True"},
      {Str(false), "False"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
}

TEST(StrTest, DecimalRoundTripsThroughVal) {
  for (std::int64_t v : {0LL, 1LL, -1LL, 255LL, 2665LL, 65535LL, -2147483648LL, 9007199254740992LL})
    EXPECT_EQ(Val(Str(v)), static_cast<double>(v)) << v;
}

// The 8-bit sum as the upload workers show it: bytes summed modulo 256, written by Str.
TEST(StrTest, SumOfBytesShownInDecimal) {
  struct Case {
    std::string bytes;
    std::string shown;
  } cases[] = {
      {"abc", "38"},
      {std::string(256, '\xFF'), "0"},
      {std::string(1, '\0'), "0"},
      {"A", "65"},
      {std::string("\x0D\x0A\x00", 3), "23"},
  };
  for (const auto& c : cases) {
    std::uint8_t sum = 0;
    for (unsigned char b : c.bytes) sum = static_cast<std::uint8_t>(sum + b);
    EXPECT_EQ(Str(sum), c.shown);
  }
}

TEST(ChrBTest, GivesOneByteOfTheLowEightBits) {
  struct Case {
    int value;
    unsigned char byte;
  } cases[] = {{0, 0x00}, {13, 0x0D}, {10, 0x0A}, {65, 0x41}, {255, 0xFF},
               {256, 0x00}, {300, 0x2C}, {510, 0xFE}, {-1, 0xFF}};
  for (const auto& c : cases) {
    std::string s = ChrB(c.value);
    ASSERT_EQ(s.size(), 1u) << c.value;
    EXPECT_EQ(static_cast<unsigned char>(s[0]), c.byte) << c.value;
  }
}

TEST(ChrBTest, EveryByteRoundTripsThroughAsc) {
  for (int v = 0; v < 256; ++v) EXPECT_EQ(Asc(ChrB(v)), static_cast<std::uint32_t>(v)) << v;
}

TEST(ChrTest, EncodesCodePointsAsUtf8) {
  struct Case {
    std::uint32_t code;
    std::string utf8;
  } cases[] = {
      {0, std::string(1, '\0')}, {13, "\r"},          {10, "\n"},
      {0x41, "A"},               {0x7F, "\x7F"},      {0x80, "\xC2\x80"},
      {0xE9, "\xC3\xA9"},        {0x7FF, "\xDF\xBF"}, {0x800, "\xE0\xA0\x80"},
      {0x20AC, "\xE2\x82\xAC"},  {0xFFFF, "\xEF\xBF\xBF"}, {0x1F600, "\xF0\x9F\x98\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Chr(c.code), c.utf8) << c.code;
    EXPECT_EQ(Asc(c.utf8), c.code) << c.code;
  }
}

TEST(ChrTest, CodesThatAreNoCharacterGiveNothing) {
  EXPECT_EQ(Chr(0xD800), "");
  EXPECT_EQ(Chr(0xDFFF), "");
  EXPECT_EQ(Chr(0x110000), "");
}

TEST(AscTest, TakesTheFirstCharacterOnly) {
  struct Case {
    std::string text;
    std::uint32_t code;
  } cases[] = {
      {"", 0},
      {"S1", 'S'},
      {"\r\n", 13},
      {"\xC3\xA9t\xC3\xA9", 0xE9},
      {"\xC3", 0xC3},          // a lead byte with its continuation missing
      {"\xC3z", 0xC3},         // a lead byte followed by no continuation
      {"\xC0\x80", 0xC0},      // an overlong form is no character
      {"\xED\xA0\x80", 0xED},  // nor is an encoded surrogate
      {"\x80", 0x80},
  };
  for (const auto& c : cases) EXPECT_EQ(Asc(c.text), c.code) << c.text;
}

TEST(InStrTest, FindsOneBasedPositions) {
  struct Case {
    int start;
    std::string text, find;
    int expected;
  } cases[] = {
      {1, "OK\r\n", "\r\n", 3},
      {1, "OK", "\r\n", 0},
      {1, "OK\r", "\r\n", 0},
      {1, "abcabc", "abc", 1},
      {2, "abcabc", "abc", 4},
      {4, "abcabc", "abc", 4},
      {5, "abcabc", "abc", 0},
      {0, "abc", "a", 1},
      {-3, "abc", "c", 3},
      {1, "abc", "abcd", 0},
      {1, "", "a", 0},
      {1, "abc", "", 1},
      {3, "abc", "", 3},
      {4, "abc", "", 4},
      {5, "abc", "", 0},
      {1, std::string("a\0b", 3), std::string("\0b", 2), 2},
      {1, "ABC", "b", 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(InStr(c.start, c.text, c.find), c.expected)
        << "start " << c.start << " text \"" << c.text << "\" find \"" << c.find << "\"";
  EXPECT_EQ(InStr("RP OK\r\n", "\r\n"), 6);
}

TEST(EncodingsTest, AsciiIsATagNamedAscii) {
  ASSERT_NE(framework::Encodings::ASCII, nullptr);
  EXPECT_STREQ(framework::Encodings::ASCII->name, "ASCII");
}

}  // namespace
