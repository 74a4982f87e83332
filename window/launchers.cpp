// The three file buttons: choose a file of the button's type, then start its upload.
#include "framework/msgbox.h"
#include "shell/my_file_types.h"
#include "window/window1.h"

namespace {

// The workers share the port, Reply and the displays, so one upload runs at a time.
bool UploadRunning(Window1_& w) {
  using State = framework::Thread::ThreadState;
  return w.SendConfigFile1()->State() != State::NotRunning ||
         w.SendGenMPUCode1()->State() != State::NotRunning ||
         w.SendAnzMPUCode1()->State() != State::NotRunning;
}

void Launch(Window1_& w, framework::FileType* type, framework::Thread* (*worker)(Window1_&)) {
  std::string filter = *type;
  w.f = framework::GetOpenFolderItem(filter);
  if (!w.f) return;
  if (UploadRunning(w)) {
    framework::MsgBox(
        "An upload is still running. Wait until it is done, then press the button again. "
        "If the Vantrel-9 lost power or was unplugged during the upload, quit (File > Quit), "
        "start the programmer again and repeat the update step.");
    return;
  }
  worker(w)->Run();
}

}  // namespace

void Window1_::ConfigPB_Action(framework::PushButton*) {
  Launch(*this, MyFileTypes::BinConfig(), [](Window1_& w) -> framework::Thread* { return w.SendConfigFile1(); });
}

void Window1_::LoadGenCodePB_Action(framework::PushButton*) {
  Launch(*this, MyFileTypes::GEN(), [](Window1_& w) -> framework::Thread* { return w.SendGenMPUCode1(); });
}

void Window1_::LoadAnzCodePB_Action(framework::PushButton*) {
  Launch(*this, MyFileTypes::ANZ(), [](Window1_& w) -> framework::Thread* { return w.SendAnzMPUCode1(); });
}
