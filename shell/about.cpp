#include "shell/about.h"

#include "framework/application.h"

namespace {

const char kAboutText[] =
    "Vantrel-9 Programmer Version 2.00\r"
    "\r"
    "\r"
    "Important Notes:\r"
    "\r"
    "1. Ensure that power will not be interrupted, and the USB connection will not be "
    "disconnected during the Vantrel-9 firmware update process.\r"
    "\r"
    "2. The Vantrel-9 should be connected to the computer with a USB cable and powered on "
    "BEFORE opening this Vantrel-9 Programmer application. If not, you may close this program "
    "and reopen it without powering down the Vantrel-9.\r"
    "\r"
    "3. Whenever the Vantrel-9 is powered off and back on, click the Reconnect Button before "
    "sending any USB commands to the Vantrel-9. Failure to do so may cause this program to quit "
    "responding.\r"
    "\r"
    "4. To update Vantrel-9 firmware first verify that a USB connection exists between the "
    "Vantrel-9 and your computer by clicking the Gen ID# button. Then follow steps 1-8.\r"
    "\r"
    "\r";

}  // namespace

void About_::Layout() {
  framework::WindowDesign d;
  d.Placement = 0;
  d.Width = 548;
  d.Height = 323;
  d.MinWidth = 64;
  d.MinHeight = 64;
  d.MaxWidth = 32000;
  d.MaxHeight = 32000;
  d.Frame = 1;
  d.Composite = false;
  d.HasBackColor = true;
  d.BackColor = {255, 255, 255};
  d.Title = "About Kesmar-5 Programmer";
  d.Visible = true;
  d.FullScreen = false;
  d.MenuBarVisible = true;
  d.CloseButton = true;
  d.Resizeable = true;
  d.LiveResize = false;
  d.MaximizeButton = true;
  d.MinimizeButton = true;
  d.MacProcID = 0;
  ApplyDesign(d);
}

void About_::CreateControls() { CreateControls0_(); }

void About_::CreateControls0_() {
  framework::Design common;
  common.TabStop = true;

  auto* button = New_<framework::PushButton>();
  button->Constructor();
  AddControl_("PushButton1", button);
  PushButton1()->SetTextSize(12.0);
  PushButton1()->SetTextUnit(0);
  framework::Design b = common;
  b.Left = 471, b.Top = 283, b.Width = 68, b.Height = 20, b.TabIndex = 1;
  b.Text = "OK";
  b.LockRight = true, b.LockBottom = true;
  b.Default = true, b.Cancel = false, b.ButtonStyle = 0;
  PushButton1()->ApplyDesign(b);
  PushButton1()->Action = [this](framework::PushButton* pb) { PushButton1_Action(pb); };

  auto* area = New_<framework::TextArea>();
  area->Constructor();
  AddControl_("TextArea1", area);
  TextArea1()->SetLineSpacing(1.0);
  TextArea1()->SetTextUnit(0);
  framework::Design t = common;
  t.Left = 20, t.Top = 15, t.Width = 508, t.Height = 243, t.TabIndex = 2;
  t.LockLeft = true, t.LockTop = true;
  t.Border = true, t.Multiline = true, t.ScrollbarVertical = true, t.ScrollbarHorizontal = false;
  t.Styled = true, t.UseFocusRing = true, t.HideSelection = true, t.ReadOnly = false;
  t.AcceptTabs = false, t.Alignment = 0, t.LimitText = 0, t.AutomaticallyCheckSpelling = true;
  t.Text = kAboutText;
  TextArea1()->ApplyDesign(t);
}

framework::PushButton* About_::PushButton1() {
  return framework::ControlCast<framework::PushButton>(ControlByName_("PushButton1"));
}

framework::TextArea* About_::TextArea1() {
  return framework::ControlCast<framework::TextArea>(ControlByName_("TextArea1"));
}

void About_::PushButton1_Action(framework::PushButton*) { Close(); }

About_* About() {
  if (auto* w = framework::RuntimeGetImplicitWindow("About"))
    return framework::ControlCastObject<About_>(w);
  auto* w = new About_;
  w->Constructor();
  return w;
}
