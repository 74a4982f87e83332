// The byte stream: a file read through a buffer, so that reading byte by byte costs little
// and memory does not grow with the file's size.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "framework/files.h"

namespace framework {

namespace {
constexpr std::size_t kBufferSize = 64 * 1024;
}

std::unique_ptr<BinaryStream> BinaryStream::Open(const FolderItem& file, bool readWrite) {
  const std::string path = file.NativePath();
  if (path.empty()) return nullptr;
  // O_NONBLOCK so that a FIFO without a writer cannot hang the open; anything but a regular
  // file is turned away just below.
  int fd = ::open(path.c_str(), (readWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

  std::unique_ptr<BinaryStream> stream(new BinaryStream());
  stream->fd_ = fd;
  stream->length_ = static_cast<std::uint64_t>(st.st_size);
  stream->modifiedSeconds_ = static_cast<std::int64_t>(st.st_mtim.tv_sec);
  stream->modifiedNanoseconds_ = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
  stream->named_ = st.st_nlink > 0;
  stream->buffer_.resize(kBufferSize);
  return stream;
}

BinaryStream::~BinaryStream() { Close(); }

void BinaryStream::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  bufferFill_ = 0;
  std::vector<std::uint8_t>().swap(buffer_);
}

// Whether the file opened is as it was, judged by the descriptor alone: any write moves its
// modification time, a cut or an append its size, and a file removed (or put out of its
// name by another one renamed over it) has no name left. What the name leads to is not
// looked at: the descriptor keeps reading the file opened, whole and unmixed, even when
// the file is moved or another is put in its place, and a name that can't be looked up
// for a moment (a folder made unsearchable) or a file system that reports other numbers
// for the name than for the descriptor (overlayfs, FUSE) says nothing about its bytes. A
// file that had no name when it was opened (a memfd reached through /proc) loses none.
bool BinaryStream::StillTheFileOpened() const {
  struct stat now {};
  if (::fstat(fd_, &now) != 0) return false;
  return static_cast<std::uint64_t>(now.st_size) == length_ &&
         static_cast<std::int64_t>(now.st_mtim.tv_sec) == modifiedSeconds_ &&
         static_cast<std::int64_t>(now.st_mtim.tv_nsec) == modifiedNanoseconds_ &&
         (now.st_nlink > 0 || !named_);
}

// Loads the buffer from the current position, never beyond the length the file had when it
// was opened. False when nothing could be read, or when the file is no longer the one
// opened. The file is looked at after the read, so that a change made while it ran counts
// too; once per buffer, which keeps reading byte by byte cheap.
bool BinaryStream::Fill() {
  bufferStart_ = position_;
  bufferFill_ = 0;
  if (fd_ < 0 || position_ >= length_) return false;
  const std::uint64_t left = length_ - position_;
  const std::size_t want = left < buffer_.size() ? static_cast<std::size_t>(left) : buffer_.size();
  while (bufferFill_ < want) {
    ssize_t got = ::pread(fd_, buffer_.data() + bufferFill_, want - bufferFill_,
                          static_cast<off_t>(position_ + bufferFill_));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // an error, or the file got shorter since it was opened
    bufferFill_ += static_cast<std::size_t>(got);
  }
  if (bufferFill_ < want || !StillTheFileOpened()) {
    bufferFill_ = 0;
    return false;
  }
  return true;
}

std::uint8_t BinaryStream::ReadUInt8() {
  if (fd_ < 0 || failed_ || position_ >= length_) {
    readError_ = true;
    return 0;
  }
  if (position_ < bufferStart_ || position_ - bufferStart_ >= bufferFill_) {
    if (!Fill()) {
      // The file cannot give what its length promised, or is no longer the file opened:
      // the stream is spent.
      failed_ = true;
      readError_ = true;
      return 0;
    }
  }
  return buffer_[static_cast<std::size_t>(position_++ - bufferStart_)];
}

bool BinaryStream::EOF_() const { return fd_ < 0 || failed_ || position_ >= length_; }

// Moving keeps the buffer: going back to the start of a page just read (a resend) reads
// nothing from the file again.
void BinaryStream::SetPosition(std::uint64_t position) { position_ = position; }

}  // namespace framework
