#pragma once
#include <memory>

#include "framework/menu.h"

// The menu bar: File with Quit, Edit with the editing commands and About.
class MenuBar1_ : public framework::MenuBar {
 public:
  void Constructor() override;
  void Untitled0();  // the File menu
  void Untitled1();  // the Edit menu
};

std::shared_ptr<MenuBar1_> MenuBar1();
// Drops the program-wide reference (at exit, before the file types).
void ReleaseMenuBar1();
