#include "shell/menubar1.h"

#include <optional>

namespace {

std::shared_ptr<MenuBar1_>& Instance() {
  static std::shared_ptr<MenuBar1_> bar;
  return bar;
}

struct ItemRow {
  const char* name;
  enum Kind { Plain, Quit, About } kind;
  const char* text;
  const char* shortcut;  // nullptr: none set (separators)
  const char* menu;      // nullptr: appended to the bar
};

const ItemRow kFileMenu[] = {
    {"FileMenu", ItemRow::Plain, "&File", "", nullptr},
    {"FileQuit", ItemRow::Quit, "&Quit", "Cmd+Q", "FileMenu"},
};

const ItemRow kEditMenu[] = {
    {"EditMenu", ItemRow::Plain, "&Edit", "", nullptr},
    {"EditUndo", ItemRow::Plain, "&Undo", "Cmd+Z", "EditMenu"},
    {"UntitledMenu1", ItemRow::Plain, "-", nullptr, "EditMenu"},
    {"EditCut", ItemRow::Plain, "Cu&t", "Cmd+X", "EditMenu"},
    {"EditCopy", ItemRow::Plain, "&Copy", "Cmd+C", "EditMenu"},
    {"EditPaste", ItemRow::Plain, "&Paste", "Cmd+V", "EditMenu"},
    {"EditClear", ItemRow::Plain, "&Delete", "", "EditMenu"},
    {"UntitledMenu0", ItemRow::Plain, "-", nullptr, "EditMenu"},
    {"EditSelectAll", ItemRow::Plain, "Select &All", "Cmd+A", "EditMenu"},
    {"AppleAbout", ItemRow::About, "&About Vantrel-9 Programmer", "", "EditMenu"},
};

template <std::size_t N>
void Build(MenuBar1_& bar, const ItemRow (&rows)[N]) {
  for (const ItemRow& row : rows) {
    framework::MenuItem* item = row.kind == ItemRow::Quit    ? new framework::QuitMenuItem
                                : row.kind == ItemRow::About ? new framework::AppleMenuItem
                                                             : new framework::MenuItem;
    item->Constructor();
    item->SetName(row.name);
    item->SetAutoEnable(true);
    item->SetText(row.text);
    if (row.shortcut) item->SetKeyboardShortcut(row.shortcut);
    if (!row.menu)
      bar.Append(item);
    else
      bar.Child(row.menu)->Append(item);
  }
}

}  // namespace

void MenuBar1_::Constructor() {
  Untitled0();
  Untitled1();
}

void MenuBar1_::Untitled0() { Build(*this, kFileMenu); }
void MenuBar1_::Untitled1() { Build(*this, kEditMenu); }

std::shared_ptr<MenuBar1_> MenuBar1() {
  auto& bar = Instance();
  if (!bar) {
    bar = std::make_shared<MenuBar1_>();
    bar->Constructor();
  }
  return bar;
}

void ReleaseMenuBar1() { Instance().reset(); }
