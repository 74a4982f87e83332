#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "framework/strings.h"

namespace framework {

// A fixed-size byte buffer; every access is bounds-checked (OutOfBoundsException).
class MemoryBlock {
 public:
  explicit MemoryBlock(std::size_t size) : bytes_(size, 0) {}
  std::size_t Size() const { return bytes_.size(); }
  std::uint8_t Byte(std::size_t offset) const;
  void SetByte(std::size_t offset, std::uint8_t value);
  // length bytes from start, unchanged (the encoding only tags them).
  std::string StringValue(std::size_t start, std::size_t length,
                          const TextEncoding* encoding = nullptr) const;

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace framework
