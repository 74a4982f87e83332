#include "framework/memoryblock.h"

#include "framework/exceptions.h"

namespace framework {

namespace {
[[noreturn]] void OutOfBounds(const char* what, std::size_t offset, std::size_t length,
                              std::size_t size) {
  throw OutOfBoundsException(std::string("MemoryBlock.") + what + ": " + std::to_string(length) +
                             " byte(s) at offset " + std::to_string(offset) +
                             " lie outside the block of " + std::to_string(size) + " bytes");
}
}  // namespace

std::uint8_t MemoryBlock::Byte(std::size_t offset) const {
  if (offset >= bytes_.size()) OutOfBounds("Byte", offset, 1, bytes_.size());
  return bytes_[offset];
}

void MemoryBlock::SetByte(std::size_t offset, std::uint8_t value) {
  if (offset >= bytes_.size()) OutOfBounds("Byte", offset, 1, bytes_.size());
  bytes_[offset] = value;
}

std::string MemoryBlock::StringValue(std::size_t start, std::size_t length,
                                     const TextEncoding* /*encoding*/) const {
  // Written so that start + length cannot overflow.
  if (start > bytes_.size() || length > bytes_.size() - start)
    OutOfBounds("StringValue", start, length, bytes_.size());
  return std::string(reinterpret_cast<const char*>(bytes_.data()) + start, length);
}

}  // namespace framework
