#include "upload/record_reader.h"

#include <string>

#include "framework/strings.h"

namespace upload {
namespace {

const std::string kCR = "\r";
const std::string kLF = "\n";

std::string NextChar(framework::BinaryStream& s) { return framework::ChrB(s.ReadUInt8()); }

bool Left(const framework::BinaryStream& s, std::uint64_t n) {
  return s.Position() <= s.Length() && s.Length() - s.Position() >= n;
}

std::int32_t ReadCount(framework::BinaryStream& s) {
  std::string high = NextChar(s);
  std::string low = NextChar(s);
  return static_cast<std::int32_t>(framework::Val("&h" + high + low));
}

}  // namespace

RecordHead ReadRecordHead(framework::BinaryStream& s, const std::function<void()>& giveWay) {
  using Kind = RecordHead::Kind;
  RecordHead head;
  head.start = s.Position();
  if (s.EOF_()) return head;

  std::string c = NextChar(s);
  while (c == kCR || c == kLF) {
    // Line ends after the last record: the file ends as at a record start.
    if (s.EOF_()) return head;
    c = NextChar(s);
    giveWay();
  }
  if (c != "S") {
    head.kind = Kind::NoS;
    return head;
  }
  if (!Left(s, 1)) {
    head.kind = Kind::Truncated;
    return head;
  }
  std::string type = NextChar(s);
  if (type == "0") {
    if (!Left(s, 2)) {
      head.kind = Kind::Truncated;
      return head;
    }
    head.count = ReadCount(s);
    std::uint64_t skip = 2 * static_cast<std::uint64_t>(head.count < 0 ? 0 : head.count);
    // A count that points past the end of the file: the record is not all there.
    if (!Left(s, skip)) {
      head.kind = Kind::Truncated;
      return head;
    }
    s.SetPosition(s.Position() + skip);
    head.kind = Kind::Header;
    return head;
  }
  if (type == "9") {
    head.kind = Kind::End;
    return head;
  }
  if (type != "1" && type != "2") {
    head.kind = Kind::OtherType;
    return head;
  }
  if (!Left(s, 2 + 1 + kRecordBlockLength)) {
    head.kind = Kind::Truncated;
    return head;
  }
  head.count = ReadCount(s);
  head.lead = s.ReadUInt8();
  head.kind = Kind::Data;
  return head;
}

std::uint8_t ReadRecordBlock(framework::BinaryStream& s, framework::MemoryBlock& buffer,
                             const std::function<void()>& giveWay) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < kRecordBlockLength; ++i) {
    buffer.SetByte(i, s.ReadUInt8());
    sum = static_cast<std::uint8_t>(sum + buffer.Byte(i));
    giveWay();
  }
  return sum;
}

}  // namespace upload
