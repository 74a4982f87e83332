// The .bin FPGA configuration image: erase, then pages of up to 256 bytes, each announced,
// numbered, checksummed and acknowledged, sent again when the instrument asks.
#include <memory>

#include "framework/files.h"
#include "framework/strings.h"
#include "framework/thread.h"
#include "upload/worker_mechanics.h"

using upload::Show;

void SendConfigFile::Event_Run() {
  const std::string OK = upload::ReplyLine("OK");
  const std::string RP_OK = upload::ReplyLine("RP OK");
  framework::MemoryBlock buffer(256);

  Show(&Window1_::Bin_Status, "");
  std::shared_ptr<framework::FolderItem> file = Window1()->f;
  // A file that can't be opened (gone, unreadable, a folder) is no file to send.
  std::unique_ptr<framework::BinaryStream> stream =
      file ? framework::BinaryStream::Open(*Window1()->f, false) : nullptr;
  if (!stream) {
    Show(&Window1_::StatusText, "Error Opening .bin File");
    return;
  }
  Show(&Window1_::ChecksumText, "");
  Show(&Window1_::PageNumText, "");

  const std::string fpgaFile = "FPGAFile" + upload::CR;
  const std::string fpgaPage = "FPGAPage" + upload::CR;
  const std::string fpgaDone = "FPGADone" + upload::CR;

  upload::TakeTheLink();
  upload::SendCommand(fpgaFile);
  Show(&Window1_::StatusText, "Erasing .bin ROM");
  upload::ShowProgressMaximum(0);
  upload::WaitForReply({OK}, upload::Pass::Erase);

  upload::ShowProgressMaximum(2665);
  Show(&Window1_::StatusText, "Loading .bin File");
  Show(&Window1_::Bin_Status, "Loading .bin File ");
  std::uint16_t repeats = 0;
  Show(&Window1_::RepeatPageText, framework::Str(repeats));

  std::uint16_t pageNumber = 0;
  std::uint8_t pageByte = 0;
  std::uint8_t lastIndex = 0;
  while (!stream->EOF_()) {
    std::uint8_t sum = 0;
    std::uint64_t pageStart = stream->Position();
    Show(&Window1_::PageNumText, framework::Str(pageNumber));
    for (int i = 0; i <= 255; ++i) {
      buffer.SetByte(static_cast<std::size_t>(i), stream->ReadUInt8());
      sum = upload::Sum8Add(sum, buffer.Byte(static_cast<std::size_t>(i)));
      lastIndex = static_cast<std::uint8_t>(i);
      if (stream->EOF_()) break;
      framework::GiveWay();
    }
    if (stream->ReadError()) {
      // The file opened could not be read to its end (cut short, removed, or changed since
      // it was opened): nothing of this page goes out, and no "FPGADone" tells the
      // instrument the image is complete.
      Show(&Window1_::StatusText, ".bin File Error");
      upload::ShowProgressValue(0);
      stream->Close();
      return;
    }
    Show(&Window1_::ChecksumText, framework::Str(sum));
    upload::ShowProgressValue(pageNumber);

    upload::SendCommand(fpgaPage);
    upload::WaitForReply({OK});
    upload::SendByte(pageByte);
    upload::SendByte(lastIndex);
    upload::WaitForReply({OK});
    upload::SendBlock(buffer, static_cast<std::size_t>(lastIndex) + 1);
    upload::SendByte(sum);
    upload::WaitForReply({OK, RP_OK});

    if (Window1()->Reply == RP_OK) {
      stream->SetPosition(pageStart);
      ++repeats;
      Show(&Window1_::RepeatPageText, framework::Str(repeats));
    } else if (Window1()->Reply == OK) {
      ++pageNumber;
      ++pageByte;
    }
    framework::GiveWay();
  }

  upload::SendCommand(fpgaDone);
  upload::ShowProgressValue(0);
  Show(&Window1_::StatusText, ".bin File Load Done");
  Show(&Window1_::Bin_Status, ".bin File Load Done");
  stream->Close();
}
