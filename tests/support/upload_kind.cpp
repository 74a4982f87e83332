#include "tests/support/upload_kind.h"

#include "window/window1.h"

namespace testsupport {

const char* NameOf(Upload u) { return u == Upload::Bin ? "Bin" : u == Upload::Gen ? "Gen" : "Anz"; }

framework::Thread* WorkerOf(Window1_* w, Upload u) {
  switch (u) {
    case Upload::Bin: return w->SendConfigFile1();
    case Upload::Gen: return w->SendGenMPUCode1();
    case Upload::Anz: return w->SendAnzMPUCode1();
  }
  return nullptr;
}

framework::PushButton* LauncherOf(Window1_* w, Upload u) {
  switch (u) {
    case Upload::Bin: return w->ConfigPB();
    case Upload::Gen: return w->LoadGenCodePB();
    case Upload::Anz: return w->LoadAnzCodePB();
  }
  return nullptr;
}

}  // namespace testsupport
