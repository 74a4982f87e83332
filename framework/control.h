#pragma once
// Controls: every member of a window that is made, registered by name and found again by
// name. Visual controls own one Qt widget each; the non-visual ones (serial port,
// threads) have no widget.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace framework {

class Window;

struct Rgb {
  std::uint8_t Red = 0, Green = 0, Blue = 0;
};

class Control {
 public:
  Control() = default;
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;
  virtual ~Control();

  // Runs the control's construction step; visual controls make their widget here.
  virtual void Constructor() {}

  std::string Name() const { return name_; }
  Window* Parent() const { return window_; }

 protected:
  friend class Window;
  // Raised once for every control, in creation order, before the window's Open event.
  virtual void RaiseOpen() {}

  std::string name_;
  Window* window_ = nullptr;
};

// The design values of one visual control, assigned in one step by ApplyDesign. Each
// class takes the values that mean something for it and keeps the rest as plain values.
struct Design {
  int Left = 0, Top = 0, Width = 0, Height = 0;
  int TabIndex = -1;  // -1: none
  bool Visible = true, Enabled = true;
  bool LockLeft = false, LockTop = false, LockRight = false, LockBottom = false;
  std::string HelpTag;
  bool AutoDeactivate = true;
  int TabPanelIndex = 0;
  std::string InitialParent;

  // Text controls, labels and buttons
  std::string TextFont = "System";
  bool Bold = false, Italic = false, Underline = false;
  std::string Text;  // a label's or text control's Text, a button's Caption
  int TextAlign = 0;
  Rgb TextColor{0, 0, 0};
  Rgb BackColor{255, 255, 255};
  bool Multiline = false, Selectable = false, Transparent = false;
  bool TabStop = true;
  bool Border = true, UseFocusRing = true, ReadOnly = false, Password = false, AcceptTabs = false;
  bool ScrollbarHorizontal = false, ScrollbarVertical = false, Styled = false;
  bool HideSelection = true, AutomaticallyCheckSpelling = false;
  int Alignment = 0, LimitText = 0;
  std::string Format, Mask, CueText, DataSource, DataField;

  // Push buttons
  bool Default = false, Cancel = false;
  int ButtonStyle = 0;

  // Pop-up menus: rows, then the selected row (assigned after the rows)
  std::vector<std::string> InitialValue;
  int ListIndex = -1;

  // Progress bar
  int Value = 0, Maximum = 100;

  // Line: rectangle first (Left..Height), then its end points
  int X1 = 0, Y1 = 0, X2 = 0, Y2 = 0;
  int BorderWidth = 1;
  Rgb LineColor{0, 0, 0};
};

class RectControl : public Control {
 public:
  ~RectControl() override;

  void ApplyDesign(const Design& d);

  int Left() const { return d_.Left; }
  int Top() const { return d_.Top; }
  int Width() const { return d_.Width; }
  int Height() const { return d_.Height; }
  bool Visible() const { return d_.Visible; }
  bool Enabled() const { return d_.Enabled; }
  int TabIndex() const { return d_.TabIndex; }
  bool TabStop() const { return d_.TabStop; }
  bool LockLeft() const { return d_.LockLeft; }
  bool LockTop() const { return d_.LockTop; }
  bool LockRight() const { return d_.LockRight; }
  bool LockBottom() const { return d_.LockBottom; }
  bool Bold() const { return d_.Bold; }
  std::string TextFont() const { return d_.TextFont; }
  std::string HelpTag() const { return d_.HelpTag; }
  // The tip shown while the pointer rests on the control; "" for none.
  void SetHelpTag(const std::string& tag);
  const Design& DesignValues() const { return d_; }

  // 0: the platform's standard size.
  double TextSize() const { return textSize_; }
  void SetTextSize(double points);
  int TextUnit() const { return textUnit_; }
  void SetTextUnit(int unit) { textUnit_ = unit; }

  // Redraws the control; immediately = true paints it before returning.
  void Refresh(bool immediately = true);
  void SetFocus();

  // Places the control for a content area dw wider and dh taller than designed.
  virtual void Relayout(int dw, int dh);

  // The control's widget, for the framework and for tests that drive it.
  QWidget* Widget() const { return widget_; }

 protected:
  // Each class takes its own values from the design; geometry and flags are common.
  virtual void ApplyOwnDesign(const Design& d) {}
  void ApplyFont();
  // Makes the widget; the common design values are applied to it from then on.
  void Adopt(QWidget* widget);

  Design d_;
  double textSize_ = 0;
  int textUnit_ = 0;
  QWidget* widget_ = nullptr;
};

class Label : public RectControl {
 public:
  void Constructor() override;
  std::string Text() const { return text_; }
  void SetText(const std::string& text);

 protected:
  void ApplyOwnDesign(const Design& d) override;

 private:
  std::string text_;
};

class TextField : public RectControl {
 public:
  void Constructor() override;
  std::string Text() const;
  void SetText(const std::string& text);

  // Raised for every key press before the key takes effect; true claims the key.
  std::function<bool(TextField*, const std::string& key)> KeyDown;

 protected:
  void ApplyOwnDesign(const Design& d) override;
};

class TextArea : public RectControl {
 public:
  void Constructor() override;
  std::string Text() const;
  void SetText(const std::string& text);
  double LineSpacing() const { return lineSpacing_; }
  void SetLineSpacing(double spacing) { lineSpacing_ = spacing; }

 protected:
  void ApplyOwnDesign(const Design& d) override;

 private:
  double lineSpacing_ = 1.0;
};

class PushButton : public RectControl {
 public:
  void Constructor() override;
  std::string Caption() const { return d_.Text; }
  void SetCaption(const std::string& caption);
  bool Default() const { return d_.Default; }
  bool Cancel() const { return d_.Cancel; }

  std::function<void(PushButton*)> Action;

 protected:
  void ApplyOwnDesign(const Design& d) override;
};

class PopupMenu : public RectControl {
 public:
  void Constructor() override;
  void AddRow(const std::string& text);
  void DeleteAllRows();
  int ListCount() const;
  std::string List(int row) const;
  int ListIndex() const;
  // Selecting a row from code raises Change, as a user's choice does.
  void SetListIndex(int index);

  std::function<void(PopupMenu*)> Change;
  std::function<void(PopupMenu*)> Open;

 protected:
  void ApplyOwnDesign(const Design& d) override;
  void RaiseOpen() override;

 private:
  void RaiseChange();
  bool settingFromCode_ = false;
};

class ProgressBar : public RectControl {
 public:
  void Constructor() override;
  int Value() const { return value_; }
  void SetValue(int value);
  // 0 shows an indeterminate (busy) bar.
  int Maximum() const { return maximum_; }
  void SetMaximum(int maximum);

 protected:
  void ApplyOwnDesign(const Design& d) override;

 private:
  void Show();
  int value_ = 0, maximum_ = 100;
};

class Line : public RectControl {
 public:
  void Constructor() override;
  int X1() const { return d_.X1; }
  int Y1() const { return d_.Y1; }
  int X2() const { return d_.X2; }
  int Y2() const { return d_.Y2; }
  void Relayout(int dw, int dh) override;

 protected:
  void ApplyOwnDesign(const Design& d) override;
};

}  // namespace framework
