// The About command: the one menu item with a handler of the program's own.
#include "shell/about.h"
#include "window/window1.h"

void Window1_::AddMenuHandlers(framework::Window* w) {
  auto* window = framework::ControlCastObject<Window1_>(w);
  AddMenuHandler_("AppleAbout", [window] { return window->AppleAbout_Action_(); });
}

void Window1_::Event_EnableMenuItems() { AppleAbout()->Enable(); }

bool Window1_::AppleAbout_Action_() {
  About()->Show();
  return false;
}
