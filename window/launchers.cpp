// The three file buttons: choose a file of the button's type, then start its upload; and
// whether an upload runs, which the console and the device link ask too.
#include "framework/msgbox.h"
#include "shell/my_file_types.h"
#include "window/window1.h"

namespace {

void Launch(Window1_& w, framework::FileType* type, framework::Thread* (*worker)(Window1_&)) {
  std::string filter = *type;
  w.f = framework::GetOpenFolderItem(filter);
  if (!w.f) return;
  if (!w.RunningUpload().empty()) {
    framework::MsgBox(
        "An upload is still running. Wait until it is done, then press the button again. "
        "If the Vantrel-9 lost power or was unplugged during the upload, quit (File > Quit), "
        "start the programmer again and repeat the update step.");
    return;
  }
  worker(w)->Run();
}

}  // namespace

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
  framework::MsgBox("The " + kind + " File upload is running. " + worksAgain);
  return true;
}

void Window1_::ConfigPB_Action(framework::PushButton*) {
  Launch(*this, MyFileTypes::BinConfig(), [](Window1_& w) -> framework::Thread* { return w.SendConfigFile1(); });
}

void Window1_::LoadGenCodePB_Action(framework::PushButton*) {
  Launch(*this, MyFileTypes::GEN(), [](Window1_& w) -> framework::Thread* { return w.SendGenMPUCode1(); });
}

void Window1_::LoadAnzCodePB_Action(framework::PushButton*) {
  Launch(*this, MyFileTypes::ANZ(), [](Window1_& w) -> framework::Thread* { return w.SendAnzMPUCode1(); });
}
