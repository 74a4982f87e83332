// Fuzz target for the code-file record reader: whatever the file holds, every data record
// the reader hands on for sending is a whole record of the file, and nothing is read past
// the file's end.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "framework/files.h"
#include "framework/memoryblock.h"
#include "upload/record_reader.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "record reader: %s\n", what);
    std::abort();
  }
}

int HexValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static int fd = memfd_create("code-file", 0);
  Check(fd >= 0, "memfd_create failed");
  Check(ftruncate(fd, 0) == 0, "ftruncate failed");
  Check(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size), "pwrite failed");
  auto stream = framework::BinaryStream::Open(
      framework::FolderItem("/proc/self/fd/" + std::to_string(fd)), false);
  Check(stream != nullptr, "open failed");
  framework::MemoryBlock buffer(256);
  auto noYield = [] {};

  for (int passes = 0;; ++passes) {
    Check(passes <= static_cast<int>(size) + 1, "the reader stopped moving forward");
    std::uint64_t before = stream->Position();
    upload::RecordHead head = upload::ReadRecordHead(*stream, noYield);
    Check(head.start == before, "a pass starts where the last one ended");
    Check(!stream->ReadError(), "read past the end of the file");
    using Kind = upload::RecordHead::Kind;
    if (head.kind == Kind::Header) {
      Check(stream->Position() > before, "a header record moves the reader on");
      Check(stream->Position() <= size, "a header record passed over beyond the end");
      continue;
    }
    if (head.kind != Kind::Data) break;

    // The record's "S" stands after the line ends that began the pass.
    std::size_t s = head.start;
    while (s < size && (data[s] == '\r' || data[s] == '\n')) ++s;
    Check(s + 75 <= size, "a data record that the file cuts short");
    Check(data[s] == 'S' && (data[s + 1] == '1' || data[s + 1] == '2'), "not an S1/S2 record");
    Check(head.lead == data[s + 4], "the lead character is the one after the count");
    int high = HexValue(data[s + 2]), low = HexValue(data[s + 3]);
    if (high >= 0 && low >= 0) Check(head.count == high * 16 + low, "count as written");

    std::uint8_t sum = upload::ReadRecordBlock(*stream, buffer, noYield);
    Check(!stream->ReadError(), "read past the end of the file in a block");
    std::uint8_t expected = 0;
    for (std::size_t i = 0; i < upload::kRecordBlockLength; ++i) {
      Check(buffer.Byte(i) == data[s + 5 + i], "the block is the record's 70 characters");
      expected = static_cast<std::uint8_t>(expected + data[s + 5 + i]);
    }
    Check(sum == expected, "Sum8 of the block");
    Check(stream->Position() == s + 75, "75 characters taken from the S");
  }
  return 0;
}
