#pragma once
// File types, file references, the open-file dialog and the byte stream.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace framework {

// A named file type. It registers itself with the file-type registry the first time it
// is converted to text; changing any of its strings withdraws that registration.
class FileType {
 public:
  FileType() = default;
  FileType(const FileType&) = delete;
  FileType& operator=(const FileType&) = delete;
  ~FileType();

  std::string Name() const { return name_; }
  void SetName(const std::string& v);
  std::string Extensions() const { return extensions_; }  // ";"-separated
  void SetExtensions(const std::string& v);
  std::string MacType() const { return macType_; }
  void SetMacType(const std::string& v);
  std::string MacCreator() const { return macCreator_; }
  void SetMacCreator(const std::string& v);
  bool Registered() const { return registered_; }

  // Operator_Convert: registers when not registered, then gives Name.
  operator std::string();

 private:
  void Withdraw();
  std::string name_, extensions_, macType_, macCreator_;
  bool registered_ = false;
};

// What the registry holds of a registered type.
struct FileTypeEntry {
  std::string Name, MacCreator, MacType, Extensions;
};
void RegisterFileType(const std::string& name, const std::string& creator,
                      const std::string& type, const std::string& extensions);
void UnregisterFileType(const std::string& name);
const FileTypeEntry* FindFileType(const std::string& name);
std::vector<FileTypeEntry> RegisteredFileTypes();

class FolderItem {
 public:
  explicit FolderItem(std::string path) : path_(std::move(path)) {}
  std::string NativePath() const { return path_; }
  std::string Name() const;
  bool Exists() const;
  bool Directory() const;

 private:
  std::string path_;
};

// The modal open-file dialog, limited to the registered type named by filter; nullptr
// when the user cancels.
std::shared_ptr<FolderItem> GetOpenFolderItem(const std::string& filter);

class BinaryStream {
 public:
  // Opens the file; readWrite false opens it read-only. nullptr when it can't be opened
  // as a regular, readable file.
  static std::unique_ptr<BinaryStream> Open(const FolderItem& file, bool readWrite);
  ~BinaryStream();
  BinaryStream(const BinaryStream&) = delete;
  BinaryStream& operator=(const BinaryStream&) = delete;

  // The next byte. At the end of the file, or after a read error, it reads nothing and
  // gives 0, and ReadError tells which happened. The stream reads ahead, 64 KiB at a time,
  // and after each read ahead looks at the file it opened (its size, its modification time,
  // whether any name still leads to it): a file written to, cut short, copied over or
  // removed since it was opened (another renamed over its only name removes it too) fails
  // there as a read error, so that old and new bytes never mix. A change after the last
  // read ahead is not seen. A file that is moved, or keeps another name (a backup) while
  // another takes its place, reads on whole as it was.
  std::uint8_t ReadUInt8();
  bool EOF_() const;
  std::uint64_t Position() const { return position_; }
  void SetPosition(std::uint64_t position);
  std::uint64_t Length() const { return length_; }
  // True once a read failed, found the file changed, or was attempted past its end.
  bool ReadError() const { return readError_; }
  void Close();

 private:
  BinaryStream() = default;
  bool Fill();
  bool StillTheFileOpened() const;
  int fd_ = -1;
  // The file as it was opened, which every read ahead looks at.
  std::int64_t modifiedSeconds_ = 0, modifiedNanoseconds_ = 0;
  bool named_ = true;  // had a name in a folder when opened
  std::uint64_t position_ = 0, length_ = 0;
  std::uint64_t bufferStart_ = 0;
  std::size_t bufferFill_ = 0;
  bool readError_ = false;
  bool failed_ = false;  // a read of the file failed: nothing more can be read
  std::vector<std::uint8_t> buffer_;
};

}  // namespace framework
