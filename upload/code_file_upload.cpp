// .gen and .anz code files: S-record text read character by character, S0 passed over,
// each S1/S2 record sent in three acknowledged stages, S9 ending the upload.
#include "upload/code_file_upload.h"

#include <memory>

#include "framework/files.h"
#include "framework/strings.h"
#include "framework/thread.h"
#include "upload/record_reader.h"

namespace upload {
namespace {

constexpr std::uint8_t kLastIndex = 69;
}  // namespace

const CodeFile& GenCodeFile() {
  static const CodeFile gen{&Window1_::Kesmar_Status,
                            "Error Opening .gen File",
                            "MPUFileE" + CR,
                            "MPURec" + CR,
                            "MPUDone" + CR,
                            "Erasing .gen ROM",
                            2600,
                            "Loading .gen File",
                            ".gen No 'S' Error",
                            ".gen File Load Done",
                            ".gen File Error",
                            ".gen File Checksum Error"};
  return gen;
}

const CodeFile& AnzCodeFile() {
  static const CodeFile anz{&Window1_::ANZ_Status,
                            "Error Opening .anz File",
                            "@MPUFileE" + CR,
                            "@MPURec" + CR,
                            "@MPUDone" + CR,
                            "Erasing .anz ROM",
                            2100,
                            "Loading .anz File",
                            ".anz No 'S' Error",
                            ".anz File Load Done",
                            ".anz File Error",
                            ".anz File Checksum Error"};
  return anz;
}

bool RunCodeFileUpload(const CodeFile& t) {
  const std::string OK = ReplyLine("OK");
  const std::string RP_OK = ReplyLine("RP OK");
  const std::string ER_OK = ReplyLine("ER OK");
  framework::MemoryBlock buffer(256);
  std::uint16_t recordNumber = 0;

  Show(t.ownStatus, "");
  Show(&Window1_::Bin_Status, "");
  std::shared_ptr<framework::FolderItem> file = Window1()->f;
  // A file that can't be opened (gone, unreadable, a folder) is no file to send.
  std::unique_ptr<framework::BinaryStream> stream =
      file ? framework::BinaryStream::Open(*Window1()->f, false) : nullptr;
  if (!stream) {
    Show(&Window1_::StatusText, t.errorOpening);
    return false;
  }
  framework::BinaryStream& s = *stream;
  Show(&Window1_::ChecksumText, "");
  Show(&Window1_::PageNumText, "");

  TakeTheLink();
  SendCommand(t.eraseCommand);
  Show(&Window1_::StatusText, t.erasing);
  ShowProgressMaximum(0);
  WaitForReply({OK}, Pass::Erase);

  ShowProgressMaximum(t.progressMaximum);
  Show(&Window1_::StatusText, t.loading);
  Show(t.ownStatus, t.loading);
  std::uint16_t repeats = 0;
  Show(&Window1_::RepeatPageText, framework::Str(repeats));

  for (;;) {
    RecordHead head = ReadRecordHead(s, framework::GiveWay);
    if (s.ReadError()) {
      // The file was cut short or changed since it was opened: the byte that failed is no
      // stray character, and nothing of this record goes out.
      Show(&Window1_::StatusText, t.fileError);
      break;
    }
    using Kind = RecordHead::Kind;
    if (head.kind == Kind::EndOfFile) break;
    if (head.kind == Kind::NoS) {
      Show(&Window1_::StatusText, t.noS);
      break;
    }
    if (head.kind == Kind::Header) {
      framework::GiveWay();
      continue;
    }
    if (head.kind == Kind::End) {
      SendCommand(t.doneCommand);
      Show(&Window1_::StatusText, t.loadDone);
      Show(t.ownStatus, t.loadDone);
      break;
    }
    // Another record type, or a record the file cuts short: nothing of it goes out.
    if (head.kind != Kind::Data) {
      Show(&Window1_::StatusText, t.fileError);
      break;
    }

    Show(&Window1_::PageNumText, framework::Str(recordNumber));
    std::uint8_t sum = ReadRecordBlock(s, buffer, framework::GiveWay);
    if (s.ReadError()) {
      // The file could not be read to the record's end (cut short or changed since it was
      // opened): nothing of this record goes out.
      Show(&Window1_::StatusText, t.fileError);
      break;
    }
    Show(&Window1_::ChecksumText, framework::Str(sum));
    ShowProgressValue(recordNumber);

    SendCommand(t.recordCommand);
    WaitForReply({OK});
    // The information byte holds 2 x count; a count above 127 keeps its low 8 bits.
    SendByte((2 * head.count) & 0xFF);
    SendByte(kLastIndex);
    SendByte(head.lead);
    WaitForReply({OK});
    SendBlock(buffer, static_cast<std::size_t>(kLastIndex) + 1);
    SendByte(sum);
    WaitForReply({OK, RP_OK, ER_OK});

    if (Window1()->Reply == RP_OK) {
      s.SetPosition(head.start);
      ++repeats;
      Show(&Window1_::RepeatPageText, framework::Str(repeats));
    } else if (Window1()->Reply == ER_OK) {
      Show(&Window1_::StatusText, t.checksumError);
      break;
    } else if (Window1()->Reply == OK) {
      ++recordNumber;
    }
    framework::GiveWay();
  }

  ShowProgressValue(0);
  s.Close();
  return true;
}

}  // namespace upload

void SendGenMPUCode::Event_Run() { upload::RunCodeFileUpload(upload::GenCodeFile()); }

void SendAnzMPUCode::Event_Run() {
  if (upload::RunCodeFileUpload(upload::AnzCodeFile())) upload::AwaitAnzConfiguration();
}
