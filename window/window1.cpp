#include "window/window1.h"

#include "framework/application.h"

Window1_* Window1() {
  if (framework::Window* w = framework::RuntimeGetImplicitWindow("Window1"))
    return framework::ControlCastObject<Window1_>(w);
  auto* w = new Window1_;
  w->Constructor();
  return w;
}

// Every accessor looks its control up by name at each call.
#define WINDOW1_DEFINE_ACCESSOR(name, type) \
  type* Window1_::name() { return framework::ControlCast<type>(ControlByName_(#name)); }
WINDOW1_CONTROLS(WINDOW1_DEFINE_ACCESSOR)
#undef WINDOW1_DEFINE_ACCESSOR

#define WINDOW1_DEFINE_MENU_ACCESSOR(name, type)                                   \
  type* Window1_::name() {                                                         \
    return framework::ControlCastObject<type>(                                     \
        framework::Required(MenuBar().get())->Lookup_(#name));                     \
  }
WINDOW1_MENU_ITEMS(WINDOW1_DEFINE_MENU_ACCESSOR)
#undef WINDOW1_DEFINE_MENU_ACCESSOR
