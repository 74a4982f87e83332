// The console: the command line, the four fixed commands, and the hand-off of input to
// the reply area or to the upload workers.
#include "framework/strings.h"
#include "window/window1.h"

namespace {
const std::string kCR = "\r";
// A send during an upload would take the instrument's next acknowledgement into the reply
// area, and the upload would wait for it for ever.
const std::string kConsoleWaits = "Commands can be sent again when it is done.";
}

bool Window1_::TxText_KeyDown(framework::TextField* field, const std::string& key) {
  // True while the line sent last still shows; the next key press empties it first.
  static bool clear_TxText = false;
  const bool send = !key.empty() && framework::Asc(key) == 13;
  // Refused before the clear, so that the line stays as it is and can be sent afterwards.
  if (send && RefusedDuringUpload(kConsoleWaits)) return false;
  if (clear_TxText) {
    TxText()->SetText("");
    clear_TxText = false;
  }
  if (send) {
    std::string command = TxText()->Text() + kCR;
    Serial1()->Write(command);
    Serial1()->XmitWait();
    clear_TxText = true;
    RxText()->SetText("");
    RxText()->Refresh(true);
    GetEntireReply = true;
  }
  return false;
}

void Window1_::SendConsoleCommand(const std::string& command) {
  if (RefusedDuringUpload(kConsoleWaits)) return;
  Serial1()->Write(command + kCR);
  Serial1()->XmitWait();
  RxText()->SetText("");
  RxText()->Refresh(true);
  GetEntireReply = true;
}

void Window1_::BootloaderPB_Action(framework::PushButton*) { SendConsoleCommand("#Boot"); }
void Window1_::GenVersionPB_Action(framework::PushButton*) { SendConsoleCommand("ver?"); }
void Window1_::VersionPB1_Action(framework::PushButton*) { SendConsoleCommand("ID?"); }
void Window1_::AnzVersionPB_Action(framework::PushButton*) { SendConsoleCommand("@ver?"); }

void Window1_::Serial1_DataAvailable(framework::Serial* port) {
  if (GetEntireReply) {
    RxText()->SetText(port->ReadAll());
    RxText()->Refresh(true);
    GetEntireReply = false;
    return;
  }
  if (framework::InStr(port->LookAhead(framework::Encodings::ASCII), "\r\n") > 0)
    Window1()->Reply = port->ReadAll(framework::Encodings::ASCII);
}
