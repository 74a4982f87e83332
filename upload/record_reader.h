#pragma once
// Reading a code file the way the instrument's uploads need it: character by character,
// the line ends before a record skipped, 75 characters taken from each data record's "S".
// No part of the window here, so the reader can be exercised on its own.
#include <cstdint>
#include <functional>

#include "framework/files.h"
#include "framework/memoryblock.h"

namespace upload {

struct RecordHead {
  enum class Kind {
    EndOfFile,  // at a record start, or inside the line ends after the last record
    NoS,        // the first character after the line ends is not "S"
    Header,     // S0, already passed over by its count
    Data,       // S1 or S2: count and lead character read, the block comes next
    End,        // S9: nothing more of the file is read
    OtherType,  // any other record type
    Truncated,  // the file ends inside the record: nothing of it may be sent
  };
  Kind kind = Kind::EndOfFile;
  std::uint64_t start = 0;  // where the pass began, line ends included: a resend reads from here
  std::int32_t count = 0;   // the two count characters read as a hexadecimal number
  std::uint8_t lead = 0;    // the character after the count field
};

// Characters of the block that follows a data record's lead character.
constexpr std::size_t kRecordBlockLength = 70;

// Reads the next record's head from the stream's position, giving way after each further
// character of the line-end run. A Data head guarantees the whole block is in the file.
RecordHead ReadRecordHead(framework::BinaryStream& s, const std::function<void()>& giveWay);

// Reads the block into the buffer's first 70 bytes, giving way after each byte; gives
// their Sum8.
std::uint8_t ReadRecordBlock(framework::BinaryStream& s, framework::MemoryBlock& buffer,
                             const std::function<void()>& giveWay);

}  // namespace upload
