#include "shell/app.h"

App_* App() {
  // The object registered at start-up is always an App_; the checked cast says so.
  return framework::ControlCastObject<App_>(framework::getAppObject());
}
