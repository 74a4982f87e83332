#pragma once
// Windows: fixed layouts of controls, built by the window's Layout and CreateControls
// events, with controls registered and found by name.
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/control.h"
#include "framework/exceptions.h"
#include "framework/menu.h"

class QWidget;

namespace framework {

struct WindowDesign {
  int Placement = 0;
  int Width = 300, Height = 300;
  int MinWidth = 64, MinHeight = 64;
  int MaxWidth = 32000, MaxHeight = 32000;
  int Frame = 0;
  bool Composite = false;
  bool HasBackColor = false;
  Rgb BackColor{255, 255, 255};
  std::string Title;
  bool Visible = true;
  bool FullScreen = false;
  bool MenuBarVisible = true;
  bool CloseButton = true;
  bool Resizeable = true;
  bool LiveResize = false;
  bool MaximizeButton = true;
  bool MinimizeButton = true;
  int MacProcID = 0;
};

class Window {
 public:
  // className: the class's name, by which the framework finds its single instance.
  explicit Window(std::string className);
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  virtual ~Window();

  // Raises Layout and CreateControls, AddMenuHandlers, shows the window when laid out
  // visible, then raises every control's Open event in creation order and the window's Open.
  void Constructor();

  // Window events; a subclass overrides the ones it handles.
  virtual void Layout() {}
  virtual void CreateControls() {}
  virtual void AddMenuHandlers(Window* w) {}
  virtual void Event_Open() {}
  virtual void Event_Close() {}
  virtual void Event_EnableMenuItems() {}

  void ApplyDesign(const WindowDesign& d);
  const WindowDesign& DesignValues() const { return design_; }
  std::string Title() const { return design_.Title; }
  int Width() const { return design_.Width; }
  int Height() const { return design_.Height; }
  std::string ClassName() const { return className_; }

  std::shared_ptr<framework::MenuBar> MenuBar() const { return menuBar_; }
  void SetMenuBar(std::shared_ptr<framework::MenuBar> bar);

  void Show();   // shows and brings to the front
  void Close();  // raises Close, hides, and lets the window go
  bool IsClosed() const { return closed_; }

  // Makes a control that belongs to this window (not yet registered).
  template <class T>
  T* New_() {
    auto owned = std::make_unique<T>();
    T* raw = owned.get();
    Adopt(std::move(owned));
    return raw;
  }
  void AddControl_(const std::string& name, Control* control);
  Control* ControlByName_(const std::string& name) const;
  int ControlCount() const { return static_cast<int>(order_.size()); }
  Control* ControlAt(int index) const { return order_.at(index); }

  void AddMenuHandler_(const std::string& itemName, std::function<bool()> handler);
  // Runs the handler registered for the item; false when none claims it.
  bool HandleMenu(const std::string& itemName);

  // The top-level widget, and the area below its menu bar that holds the controls.
  QWidget* Widget() const { return top_; }
  QWidget* ContentArea() const { return content_; }

 private:
  void Adopt(std::unique_ptr<Control> control);
  void ApplyFrame();

  std::string className_;
  WindowDesign design_;
  std::shared_ptr<framework::MenuBar> menuBar_;
  std::vector<std::unique_ptr<Control>> owned_;
  std::vector<Control*> order_;
  std::map<std::string, Control*> byName_;
  std::map<std::string, std::function<bool()>> menuHandlers_;
  QWidget* top_ = nullptr;
  QWidget* content_ = nullptr;
  bool closed_ = false;
};

// The type-tested cast of the accessors: nil stays nil; another class raises.
template <class T>
T* ControlCast(Control* c) {
  return ControlCastObject<T>(c);
}

}  // namespace framework
