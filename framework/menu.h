#pragma once
// Menus: a tree of items; the bar is itself an item whose children are the menus.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;

namespace framework {

class MenuItem {
 public:
  MenuItem();
  MenuItem(const MenuItem&) = delete;
  MenuItem& operator=(const MenuItem&) = delete;
  virtual ~MenuItem();

  virtual void Constructor() {}

  std::string Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  // Text with its "&" mnemonic marks; "-" makes a separator.
  std::string Text() const { return text_; }
  void SetText(const std::string& text);
  // "Cmd+Q" style; Cmd is the platform's command key (Ctrl here). Never set on separators.
  std::optional<std::string> KeyboardShortcut() const { return shortcut_; }
  void SetKeyboardShortcut(const std::string& shortcut);
  bool AutoEnable() const { return autoEnable_; }
  void SetAutoEnable(bool on) { autoEnable_ = on; }
  bool Enabled() const;
  void Enable();
  bool IsSeparator() const { return text_ == "-"; }

  // Takes ownership; the item becomes the last child.
  void Append(MenuItem* item);
  int Count() const { return static_cast<int>(children_.size()); }
  MenuItem* Item(int index) const;
  MenuItem* Child(const std::string& name) const;  // direct child
  MenuItem* Lookup_(const std::string& name);       // this item or anywhere below

  // What a menu command does when no window handler claims it.
  virtual void DefaultAction();

  QAction* Action() const { return action_; }

 private:
  std::string name_, text_;
  std::optional<std::string> shortcut_;
  bool autoEnable_ = false;
  std::vector<std::unique_ptr<MenuItem>> children_;
  QAction* action_;
};

class MenuBar : public MenuItem {};

class QuitMenuItem : public MenuItem {
 public:
  void DefaultAction() override;  // quits the application
};

// The item that names the program ("About ..."); placed where the owner put it.
class AppleMenuItem : public MenuItem {};

}  // namespace framework
