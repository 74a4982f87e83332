#pragma once
// String helpers of the framework. Strings are byte strings: one char is one byte.
#include <cstdint>
#include <string>

namespace framework {

// A text encoding tag. Reading with nullptr leaves the bytes as received; reading as
// ASCII leaves them unchanged too (the tag is all an encoding adds to the bytes).
struct TextEncoding {
  const char* name;
};
namespace Encodings {
extern const TextEncoding* const ASCII;
}

std::string Str(std::int64_t value);
std::string Str(std::uint64_t value);
inline std::string Str(int value) { return Str(static_cast<std::int64_t>(value)); }
inline std::string Str(unsigned value) { return Str(static_cast<std::uint64_t>(value)); }
inline std::string Str(std::uint16_t value) { return Str(static_cast<std::uint64_t>(value)); }
inline std::string Str(std::uint8_t value) { return Str(static_cast<std::uint64_t>(value)); }
inline std::string Str(bool value) { return value ? "True" : "False"; }

// Decimal number, or hexadecimal after "&h"/"&H"; reads the longest valid prefix, 0 if none.
double Val(const std::string& text);
// The character of a code point, as UTF-8.
std::string Chr(std::uint32_t code);
// The one-byte string of a byte value (low 8 bits of value).
std::string ChrB(int value);
// Code of the first character (UTF-8 aware); 0 for an empty string.
std::uint32_t Asc(const std::string& text);
// 1-based position of find in text at or after start, 0 when absent.
int InStr(int start, const std::string& text, const std::string& find);
inline int InStr(const std::string& text, const std::string& find) { return InStr(1, text, find); }

}  // namespace framework
