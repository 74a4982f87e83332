#pragma once
// Code files and images for the upload tests, made by tools rather than by hand: the
// S-record files come from srec_cat (package srecord) run on binary data written to a
// temporary folder.
//
// srec_cat's own habits, and what is done about them here:
// - it adds a record-count record (S5/S6) unless told -disable=data-count: off unless asked;
// - it writes no end record without -execution-start-address: given unless asked not to;
// - a file with 24-bit (S2) or 32-bit (S3) addresses ends in S8 or S7, which the instrument
//   rejects: that end record is replaced by the 16-bit S9 that srec_cat writes for the same
//   start address, unless the file is to keep it;
// - records are split at srec_cat's internal block boundaries when the block size is no
//   power of 2: -output_block_packing keeps every record at the block size;
// - it writes LF line ends: they are changed into the line end asked for.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

enum class LineEnd { CRLF, LF, CR };

const char* LineEndText(LineEnd end);

struct SrecOptions {
  int addressLength = 2;                         // bytes: 2 gives S1 records, 3 S2, 4 S3
  std::size_t blockSize = 32;                    // data bytes per record
  std::string header = "V9";                     // the S0 text; "" for no S0 record
  bool dataCount = false;                        // the S5/S6 record-count record
  std::optional<std::uint32_t> startAddress = 0; // the end record; nothing: none
  bool keepEndRecord = false;                    // keep S8/S7 instead of making it S9
  std::uint32_t offset = 0;                      // address of the first data byte
  LineEnd lineEnd = LineEnd::CRLF;
};

// The records srec_cat writes for the data, one string per record, without line ends.
std::vector<std::string> SrecRecords(const std::string& data, const SrecOptions& options = {});
// Every record followed by the line end.
std::string JoinRecords(const std::vector<std::string>& records, LineEnd end = LineEnd::CRLF);
// SrecRecords, joined.
std::string MakeSrec(const std::string& data, const SrecOptions& options = {});

// n bytes of a fixed pseudo-random pattern.
std::string PatternBytes(std::size_t n, std::uint32_t seed = 1);

// A private temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  // Writes the bytes to a file of that name in the folder; gives its path.
  std::string Write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};

}  // namespace testsupport
