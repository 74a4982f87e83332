// The main window's shape: its settings, and its 48 controls in creation order with their
// design values and handler bindings.
#include <sstream>

#include "shell/menubar1.h"
#include "window/window1.h"

namespace {

using framework::Design;

enum class Kind {
  Serial, PopupMenu, Label, TextField, TextArea, PushButton, ProgressBar, Line,
  SendConfigFile, SendGenMPUCode, SendAnzMPUCode
};

// Further values of a row, beyond its frame, tab index and text.
enum Flag : unsigned {
  None = 0,
  Bold = 1u << 0,
  Size10 = 1u << 1,       // TextSize 10
  Hidden = 1u << 2,       // Visible False
  Disabled = 1u << 3,     // Enabled False
  NotCancel = 1u << 4,    // a push button with Cancel False
  LockLeftTop = 1u << 5,  // LockLeft and LockTop True
};

struct Row {
  const char* name;
  Kind kind;
  int left, top, width, height;
  int tabIndex;      // -1: none
  const char* text;  // a pop-up's rows are separated by '\n'
  unsigned flags;
  int listIndex;
  void (*bind)(Window1_& w);
};

constexpr int NoTab = -1;

// clang-format off
const Row kControls[] = {
  {"Serial1", Kind::Serial, 0, 0, 0, 0, NoTab, "", None, -1, [](Window1_& w) {
     w.Serial1()->Error = [&w](framework::Serial* s) { w.Serial1_Error(s); };
     w.Serial1()->DataAvailable = [&w](framework::Serial* s) { w.Serial1_DataAvailable(s); };
   }},
  {"PortPopup", Kind::PopupMenu, 157, 49, 188, 20, 0, "none", None, 0, [](Window1_& w) {
     w.PortPopup()->Change = [&w](framework::PopupMenu* p) { w.PortPopup_Change(p); };
   }},
  {"SerialPort_Label", Kind::Label, 30, 50, 117, 20, 1, "Select Serial Port:", None, -1, nullptr},
  {"TxText", Kind::TextField, 30, 405, 315, 25, 2, "", None, -1, [](Window1_& w) {
     w.TxText()->KeyDown = [&w](framework::TextField* t, const std::string& key) {
       return w.TxText_KeyDown(t, key);
     };
   }},
  {"RxText", Kind::TextArea, 30, 475, 315, 42, 3, "", None, -1, nullptr},
  {"Connected_Text", Kind::Label, 116, 241, 31, 20, 4, "No", None, -1, nullptr},
  {"ConnectPB", Kind::PushButton, 30, 196, 256, 20, 5, "Reconnect After Power-up Restarts", NotCancel, -1,
   [](Window1_& w) { w.ConnectPB()->Action = [&w](framework::PushButton* b) { w.ConnectPB_Action(b); }; }},
  {"BaudRateChange_Label", Kind::Label, 30, 95, 296, 20, 7, "Use Vantrel-9 115200 Baud Rate Only.  To change:", Bold | Size10, -1, nullptr},
  {"BaudPopup", Kind::PopupMenu, 251, 239, 100, 20, 8, "9600\n19200\n38400\n115200\n230400", Hidden | Disabled, 3,
   [](Window1_& w) {
     w.BaudPopup()->Change = [&w](framework::PopupMenu* p) { w.BaudPopup_Change(p); };
     w.BaudPopup()->Open = [&w](framework::PopupMenu* p) { w.BaudPopup_Open(p); };
   }},
  {"Connected_Label", Kind::Label, 30, 240, 70, 20, 9, "Connected:", None, -1, nullptr},
  {"ConfigPB", Kind::PushButton, 433, 323, 160, 20, 10, "Select/Send .bin File", None, -1,
   [](Window1_& w) { w.ConfigPB()->Action = [&w](framework::PushButton* b) { w.ConfigPB_Action(b); }; }},
  {"PageNumber_Label", Kind::Label, 405, 39, 40, 20, 11, "Page:", None, -1, nullptr},
  {"PageNumText", Kind::Label, 463, 39, 45, 20, 12, "", None, -1, nullptr},
  {"Checksum_Label", Kind::Label, 517, 39, 73, 20, 13, "Checksum:", None, -1, nullptr},
  {"TypeCommand_Label", Kind::Label, 30, 375, 328, 20, 15, "Type Vantrel-9 Command  (followed by Return):", None, -1, nullptr},
  {"Reply_Label", Kind::Label, 30, 445, 160, 20, 16, "Vantrel-9 Reply:", None, -1, nullptr},
  {"ProgressBar1", Kind::ProgressBar, 405, 67, 318, 20, NoTab, "", None, -1, nullptr},
  {"StatusText", Kind::Label, 459, 94, 277, 20, 17, "", None, -1, nullptr},
  {"SendConfigFile1", Kind::SendConfigFile, 0, 0, 0, 0, NoTab, "", None, -1, nullptr},
  {"SendGenMPUCode1", Kind::SendGenMPUCode, 0, 0, 0, 0, NoTab, "", None, -1, nullptr},
  {"BootloaderPB", Kind::PushButton, 433, 132, 160, 20, 28, "Begin Vantrel Update", None, -1,
   [](Window1_& w) { w.BootloaderPB()->Action = [&w](framework::PushButton* b) { w.BootloaderPB_Action(b); }; }},
  {"GenVersionPB", Kind::PushButton, 162, 278, 94, 20, 29, "Gen Version", None, -1,
   [](Window1_& w) { w.GenVersionPB()->Action = [&w](framework::PushButton* b) { w.GenVersionPB_Action(b); }; }},
  {"RepeatPage_Label", Kind::Label, 645, 39, 58, 20, 31, "Repeats:", None, -1, nullptr},
  {"RepeatPageText", Kind::Label, 708, 39, 32, 20, 32, "0", None, -1, nullptr},
  {"ChecksumText", Kind::Label, 596, 39, 42, 20, 33, "", None, -1, nullptr},
  {"Checksum_Label1", Kind::Label, 405, 165, 331, 20, 34, "2.  Wait until top 3 Group LEDs are illuminated", Bold | Size10, -1, nullptr},
  {"Checksum_Label11", Kind::Label, 405, 353, 336, 20, 35, "8.  Wait until .bin load is done, then restart the Vantrel-9", Bold | Size10, -1, nullptr},
  {"VersionPB1", Kind::PushButton, 162, 314, 94, 20, 36, "Gen ID #", None, -1,
   [](Window1_& w) { w.VersionPB1()->Action = [&w](framework::PushButton* b) { w.VersionPB1_Action(b); }; }},
  {"Checksum_Label12", Kind::Label, 405, 133, 19, 20, 37, "1. ", Bold | Size10, -1, nullptr},
  {"Checksum_Label121", Kind::Label, 405, 259, 19, 20, 38, "5.", Bold | Size10, -1, nullptr},
  {"Checksum_Label1211", Kind::Label, 405, 322, 19, 20, 39, "7.", Bold | Size10, -1, nullptr},
  {"PageNumber_Label1", Kind::Label, 405, 94, 46, 20, 40, "Status:", None, -1, nullptr},
  {"PageNumber_Label11", Kind::Label, 30, 278, 129, 20, 41, "Verify Connection:", None, -1, nullptr},
  {"PageNumber_Label1111", Kind::Label, 44, 125, 338, 20, 43, "Select 115200 in Defaults/USB Baud menu, then", Bold | Size10, -1, nullptr},
  {"Checksum_Label122", Kind::Label, 405, 226, 351, 20, 45, "4.  Wait until .gen load is done && LED's recycle to normal state", Bold | Size10, -1, nullptr},
  {"PageNumber_Label1112", Kind::Label, 118, 4, 199, 20, 46, "Establish USB Connection", Bold, -1, nullptr},
  {"PageNumber_Label11121", Kind::Label, 494, 4, 158, 20, 47, "Update Vantrel-9", Bold, -1, nullptr},
  {"Line1", Kind::Line, 375, 25, 100, 50, NoTab, "", None, -1, nullptr},
  {"PageNumber_Label111111", Kind::Label, 44, 146, 338, 20, 48, "save using Save Items/Enter and restart the Vantrel-9", Bold | Size10, -1, nullptr},
  {"Bin_Status", Kind::Label, 603, 322, 100, 20, 50, "", Size10 | LockLeftTop, -1, nullptr},
  {"LoadAnzCodePB", Kind::PushButton, 433, 259, 160, 20, 58, "Select/Send .anz File", None, -1,
   [](Window1_& w) { w.LoadAnzCodePB()->Action = [&w](framework::PushButton* b) { w.LoadAnzCodePB_Action(b); }; }},
  {"Checksum_Label1213", Kind::Label, 405, 193, 19, 20, 59, "3.", Bold | Size10, -1, nullptr},
  {"Kesmar_Status", Kind::Label, 603, 195, 100, 20, 60, "", Size10 | LockLeftTop, -1, nullptr},
  {"SendAnzMPUCode1", Kind::SendAnzMPUCode, 0, 0, 0, 0, NoTab, "", None, -1, nullptr},
  {"LoadGenCodePB", Kind::PushButton, 433, 195, 160, 20, 61, "Select/Send .gen File", None, -1,
   [](Window1_& w) { w.LoadGenCodePB()->Action = [&w](framework::PushButton* b) { w.LoadGenCodePB_Action(b); }; }},
  {"AnzVersionPB", Kind::PushButton, 264, 278, 94, 20, 63, "Anz Version", None, -1,
   [](Window1_& w) { w.AnzVersionPB()->Action = [&w](framework::PushButton* b) { w.AnzVersionPB_Action(b); }; }},
  {"ANZ_Status", Kind::Label, 603, 259, 100, 20, 69, "", Size10 | LockLeftTop, -1, nullptr},
  {"Checksum_Label1221", Kind::Label, 405, 290, 351, 20, 70, "6.  Wait until .anz load and ANZ Configuration Complete", Bold | Size10, -1, nullptr},
};
// clang-format on

constexpr std::size_t kFirstOfSecondHalf = 27;  // VersionPB1
static_assert(sizeof(kControls) / sizeof(kControls[0]) == 48);

bool IsTextKind(Kind k) {
  return k == Kind::Label || k == Kind::TextField || k == Kind::TextArea ||
         k == Kind::PushButton || k == Kind::PopupMenu;
}

std::vector<std::string> Rows(const char* text) {
  std::vector<std::string> rows;
  std::istringstream in(text);
  for (std::string row; std::getline(in, row, '\n');) rows.push_back(row);
  return rows;
}

// The common values of the row's class, then the row's own.
Design DesignOf(const Row& row) {
  Design d;
  d.Left = row.left, d.Top = row.top, d.Width = row.width, d.Height = row.height;
  d.TabIndex = row.tabIndex;
  d.Visible = !(row.flags & Hidden);
  d.Enabled = !(row.flags & Disabled);
  d.LockLeft = d.LockTop = (row.flags & LockLeftTop) != 0;
  d.Bold = (row.flags & Bold) != 0;
  d.Text = row.text;
  switch (row.kind) {
    case Kind::Label:
      d.TabStop = false;
      break;
    case Kind::PushButton:
      d.Cancel = !(row.flags & NotCancel);
      break;
    case Kind::PopupMenu:
      d.Text.clear();
      d.InitialValue = Rows(row.text);
      d.ListIndex = row.listIndex;
      break;
    case Kind::TextArea:  // the reply area
      d.Multiline = true;
      d.ReadOnly = true;
      d.AutomaticallyCheckSpelling = true;
      break;
    case Kind::ProgressBar:
      d.TabStop = false;
      d.Value = 0;
      d.Maximum = 100;
      break;
    case Kind::Line:
      d.TabStop = false;
      d.X1 = 375, d.X2 = 375, d.Y1 = 25, d.Y2 = 547;
      d.BorderWidth = 1;
      break;
    default:
      break;
  }
  return d;
}

framework::Control* Make(Window1_& w, Kind kind) {
  switch (kind) {
    case Kind::Serial: return w.New_<framework::Serial>();
    case Kind::PopupMenu: return w.New_<framework::PopupMenu>();
    case Kind::Label: return w.New_<framework::Label>();
    case Kind::TextField: return w.New_<framework::TextField>();
    case Kind::TextArea: return w.New_<framework::TextArea>();
    case Kind::PushButton: return w.New_<framework::PushButton>();
    case Kind::ProgressBar: return w.New_<framework::ProgressBar>();
    case Kind::Line: return w.New_<framework::Line>();
    case Kind::SendConfigFile: return w.New_<SendConfigFile>();
    case Kind::SendGenMPUCode: return w.New_<SendGenMPUCode>();
    case Kind::SendAnzMPUCode: return w.New_<SendAnzMPUCode>();
  }
  return nullptr;
}

void CreateRow(Window1_& w, const Row& row) {
  framework::Control* made = Make(w, row.kind);
  made->Constructor();
  w.AddControl_(row.name, made);

  framework::Control* c = w.ControlByName_(row.name);
  auto* rect = dynamic_cast<framework::RectControl*>(c);
  if (row.flags & Size10) rect->SetTextSize(10);
  if (row.kind == Kind::TextArea) framework::ControlCast<framework::TextArea>(c)->SetLineSpacing(1.0);
  if (IsTextKind(row.kind)) rect->SetTextUnit(0);

  if (rect) {
    rect->ApplyDesign(DesignOf(row));
  } else if (row.kind == Kind::Serial) {
    auto* s = framework::ControlCast<framework::Serial>(c);
    s->SetBaud(framework::Serial::Baud19200);
    s->SetBits(3);
    s->SetParity(0);
    s->SetStop(0);
    s->SetXON(false);
    s->SetCTS(true);
    s->SetDTR(false);
  } else if (auto* t = dynamic_cast<framework::Thread*>(c)) {
    t->SetPriority(5);
    t->SetStackSize(0);
  }

  if (row.bind) row.bind(w);
}

}  // namespace

void Window1_::Layout() {
  SetMenuBar(MenuBar1());
  framework::WindowDesign d;
  d.Placement = 0;
  d.Width = 750;
  d.Height = 572;
  d.MinWidth = 64;
  d.MinHeight = 64;
  d.MaxWidth = 32000;
  d.MaxHeight = 32000;
  d.Frame = 0;
  d.Composite = false;
  d.HasBackColor = false;
  d.BackColor = {255, 255, 255};
  d.Title = "Vantrel-9 Programmer";
  d.Visible = true;
  d.FullScreen = false;
  d.MenuBarVisible = true;
  d.CloseButton = false;
  d.Resizeable = false;
  d.LiveResize = false;
  d.MaximizeButton = false;
  d.MinimizeButton = true;
  d.MacProcID = 0;
  ApplyDesign(d);
}

void Window1_::CreateControls() {
  CreateControls0_();
  CreateControls1_();
}

void Window1_::CreateControls0_() {
  for (std::size_t i = 0; i < kFirstOfSecondHalf; ++i) CreateRow(*this, kControls[i]);
}

void Window1_::CreateControls1_() {
  for (std::size_t i = kFirstOfSecondHalf; i < std::size(kControls); ++i) CreateRow(*this, kControls[i]);
}
