// The three file buttons: choose a file of the button's type, then start its upload; and
// whether an upload runs, which the console and the device link ask too.
#include "framework/msgbox.h"
#include "shell/my_file_types.h"
#include "window/window1.h"

namespace {

// An upload waits for each acknowledgement for as long as it takes; one that never comes
// (the instrument lost power behind an adapter that stays powered, or was power-cycled)
// leaves the upload running for ever, so every refusal names the way out.
const std::string kWayOut =
    "If it has stalled (the Vantrel-9 lost power, was unplugged or does not answer), quit (File > Quit), "
    "start the programmer again and repeat the update step.";

}  // namespace

// Refused before the dialog opens, so that no file is picked for nothing and f keeps the
// running upload's file.
void Window1_::Launch(framework::FileType* type, framework::Thread* (*worker)(Window1_&)) {
  if (RefusedDuringUpload("The next file can be sent when it is done.")) return;
  std::string filter = *type;
  f = framework::GetOpenFolderItem(filter);
  if (!f) return;
  worker(*this)->Run();
}

std::string Window1_::RunningUpload() {
  using State = framework::Thread::ThreadState;
  if (SendConfigFile1()->State() != State::NotRunning) return ".bin";
  if (SendGenMPUCode1()->State() != State::NotRunning) return ".gen";
  if (SendAnzMPUCode1()->State() != State::NotRunning) return ".anz";
  return "";
}

bool Window1_::RefusedDuringUpload(const std::string& worksAgain) {
  const std::string kind = RunningUpload();
  if (kind.empty()) return false;
  framework::MsgBox("The " + kind + " File upload is running. " + worksAgain + " " + kWayOut);
  return true;
}

void Window1_::ConfigPB_Action(framework::PushButton*) {
  Launch(MyFileTypes::BinConfig(), [](Window1_& w) -> framework::Thread* { return w.SendConfigFile1(); });
}

void Window1_::LoadGenCodePB_Action(framework::PushButton*) {
  Launch(MyFileTypes::GEN(), [](Window1_& w) -> framework::Thread* { return w.SendGenMPUCode1(); });
}

void Window1_::LoadAnzCodePB_Action(framework::PushButton*) {
  Launch(MyFileTypes::ANZ(), [](Window1_& w) -> framework::Thread* { return w.SendAnzMPUCode1(); });
}
