#pragma once
#include "framework/control.h"
#include "framework/window.h"

// The About window: the program's name, version and notes on updating the instrument.
class About_ : public framework::Window {
 public:
  About_() : framework::Window("About") {}
  void Layout() override;
  void CreateControls() override;
  void CreateControls0_();
  framework::PushButton* PushButton1();
  framework::TextArea* TextArea1();
  void PushButton1_Action(framework::PushButton* button);
};

// The open About window, or a new one (not yet shown).
About_* About();
