// String helpers. Strings are byte strings; only Chr and Asc know about UTF-8.
#include "framework/strings.h"

#include <clocale>
#include <cstdlib>
#include <locale.h>

namespace framework {

namespace {
const TextEncoding kAscii{"ASCII"};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

namespace Encodings {
const TextEncoding* const ASCII = &kAscii;
}

std::string Str(std::int64_t value) { return std::to_string(value); }
std::string Str(std::uint64_t value) { return std::to_string(value); }

double Val(const std::string& text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && IsBlank(text[i])) ++i;

  // Hexadecimal: as many hex digits as follow the marker; none gives 0.
  if (i + 1 < n && text[i] == '&' && (text[i + 1] == 'h' || text[i + 1] == 'H')) {
    double value = 0;
    for (std::size_t j = i + 2; j < n; ++j) {
      int d = HexDigit(text[j]);
      if (d < 0) break;
      value = value * 16 + d;
    }
    return value;
  }

  // Decimal: find the longest prefix of the form [+-]digits[.digits][e[+-]digits] by hand,
  // since strtod alone would also take "inf", "nan" and "0x..".
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::size_t numberStart = i;
  std::size_t digits = 0;
  while (i < n && IsDigit(text[i])) ++i, ++digits;
  if (i < n && text[i] == '.') {
    std::size_t j = i + 1;
    std::size_t fraction = 0;
    while (j < n && IsDigit(text[j])) ++j, ++fraction;
    if (digits + fraction > 0) {
      digits += fraction;
      i = j;
    }
  }
  if (digits == 0) return 0;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < n && (text[j] == '+' || text[j] == '-')) ++j;
    std::size_t expDigits = 0;
    while (j < n && IsDigit(text[j])) ++j, ++expDigits;
    if (expDigits > 0) i = j;
  }
  // The prefix is checked above, so the C-locale strtod reads exactly it; out of range it
  // gives infinity or 0, the nearest values a double holds.
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  const std::string number = text.substr(numberStart, i - numberStart);
  double value = strtod_l(number.c_str(), nullptr, cLocale);
  return negative ? -value : value;
}

std::string Chr(std::uint32_t code) {
  std::string out;
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    if (code >= 0xD800 && code <= 0xDFFF) return out;  // a lone surrogate is no character
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code <= 0x10FFFF) {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
  return out;
}

std::string ChrB(int value) { return std::string(1, static_cast<char>(value & 0xFF)); }

std::uint32_t Asc(const std::string& text) {
  if (text.empty()) return 0;
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  const std::uint8_t lead = byte(0);
  int more = 0;
  std::uint32_t code = 0;
  if (lead < 0x80) return lead;
  if ((lead & 0xE0) == 0xC0) {
    more = 1;
    code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    more = 2;
    code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    more = 3;
    code = lead & 0x07;
  } else {
    return lead;  // not a UTF-8 lead byte: the byte itself
  }
  if (text.size() < static_cast<std::size_t>(more) + 1) return lead;
  for (int k = 1; k <= more; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return lead;
    code = (code << 6) | (byte(k) & 0x3F);
  }
  static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
  if (code < kMinimum[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return lead;
  return code;
}

int InStr(int start, const std::string& text, const std::string& find) {
  if (start < 1) start = 1;
  const std::size_t from = static_cast<std::size_t>(start) - 1;
  if (from > text.size()) return 0;
  std::size_t at = text.find(find, from);
  if (at == std::string::npos) return 0;
  return static_cast<int>(at) + 1;
}

}  // namespace framework
