#include "upload/worker_mechanics.h"

#include "framework/strings.h"
#include "framework/thread.h"

namespace upload {

void Send(const std::string& bytes) {
  Window1()->Serial1()->Write(bytes);
  Window1()->Serial1()->XmitWait();
}

void TakeTheLink() {
  Window1()->GetEntireReply = false;
  // What the driver holds is read first; a whole line among it goes to Reply, which the
  // first reply wait empties after its send. Whatever is left pending is let go.
  Window1()->Serial1()->Poll();
  Window1()->Serial1()->ReadAll();
}

void SendByte(int value) { Send(framework::ChrB(value)); }

void SendBlock(const framework::MemoryBlock& buffer, std::size_t n) {
  Send(buffer.StringValue(0, n, nullptr));
}

std::size_t AwaitReply(const std::vector<std::string>& expected, Pass pass) {
  for (;;) {
    for (std::size_t i = 0; i < expected.size(); ++i)
      if (Window1()->Reply == expected[i]) return i;
    Window1()->Serial1()->Poll();
    if (pass == Pass::Erase) Window1()->ProgressBar1()->Refresh(true);
    framework::GiveWay();
  }
}

std::size_t WaitForReply(const std::vector<std::string>& expected, Pass pass) {
  // Emptied after the send: an answer can only have come in through a poll, and none has
  // run since the write.
  Window1()->Reply = "";
  return AwaitReply(expected, pass);
}

void Show(LabelAccessor label, const std::string& text) {
  (Window1()->*label)()->SetText(text);
  (Window1()->*label)()->Refresh(true);
}

void ShowProgressMaximum(int maximum) {
  Window1()->ProgressBar1()->SetMaximum(maximum);
  Window1()->ProgressBar1()->Refresh(true);
}

void ShowProgressValue(int value) {
  Window1()->ProgressBar1()->SetValue(value);
  Window1()->ProgressBar1()->Refresh(true);
}

}  // namespace upload
