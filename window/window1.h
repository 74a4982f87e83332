#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "framework/control.h"
#include "framework/files.h"
#include "framework/menu.h"
#include "framework/serial.h"
#include "framework/window.h"
#include "upload/workers.h"

// The main window's controls in creation order, with the class each accessor returns.
#define WINDOW1_CONTROLS(X)                         \
  X(Serial1, framework::Serial)                     \
  X(PortPopup, framework::PopupMenu)                \
  X(SerialPort_Label, framework::Label)             \
  X(TxText, framework::TextField)                   \
  X(RxText, framework::TextArea)                    \
  X(Connected_Text, framework::Label)               \
  X(ConnectPB, framework::PushButton)               \
  X(BaudRateChange_Label, framework::Label)         \
  X(BaudPopup, framework::PopupMenu)                \
  X(Connected_Label, framework::Label)              \
  X(ConfigPB, framework::PushButton)                \
  X(PageNumber_Label, framework::Label)             \
  X(PageNumText, framework::Label)                  \
  X(Checksum_Label, framework::Label)               \
  X(TypeCommand_Label, framework::Label)            \
  X(Reply_Label, framework::Label)                  \
  X(ProgressBar1, framework::ProgressBar)           \
  X(StatusText, framework::Label)                   \
  X(SendConfigFile1, SendConfigFile)                \
  X(SendGenMPUCode1, SendGenMPUCode)                \
  X(BootloaderPB, framework::PushButton)            \
  X(GenVersionPB, framework::PushButton)            \
  X(RepeatPage_Label, framework::Label)             \
  X(RepeatPageText, framework::Label)               \
  X(ChecksumText, framework::Label)                 \
  X(Checksum_Label1, framework::Label)              \
  X(Checksum_Label11, framework::Label)             \
  X(VersionPB1, framework::PushButton)              \
  X(Checksum_Label12, framework::Label)             \
  X(Checksum_Label121, framework::Label)            \
  X(Checksum_Label1211, framework::Label)           \
  X(PageNumber_Label1, framework::Label)            \
  X(PageNumber_Label11, framework::Label)           \
  X(PageNumber_Label1111, framework::Label)         \
  X(Checksum_Label122, framework::Label)            \
  X(PageNumber_Label1112, framework::Label)         \
  X(PageNumber_Label11121, framework::Label)        \
  X(Line1, framework::Line)                         \
  X(PageNumber_Label111111, framework::Label)       \
  X(Bin_Status, framework::Label)                   \
  X(LoadAnzCodePB, framework::PushButton)           \
  X(Checksum_Label1213, framework::Label)           \
  X(Kesmar_Status, framework::Label)                \
  X(SendAnzMPUCode1, SendAnzMPUCode)                \
  X(LoadGenCodePB, framework::PushButton)           \
  X(AnzVersionPB, framework::PushButton)            \
  X(ANZ_Status, framework::Label)                   \
  X(Checksum_Label1221, framework::Label)

// The menu items the window reaches by name, in the class's order.
#define WINDOW1_MENU_ITEMS(X)          \
  X(EditMenu, framework::MenuItem)     \
  X(AppleAbout, framework::AppleMenuItem) \
  X(EditSelectAll, framework::MenuItem) \
  X(UntitledMenu0, framework::MenuItem) \
  X(EditClear, framework::MenuItem)    \
  X(EditPaste, framework::MenuItem)    \
  X(EditCopy, framework::MenuItem)     \
  X(EditCut, framework::MenuItem)      \
  X(UntitledMenu1, framework::MenuItem) \
  X(EditUndo, framework::MenuItem)     \
  X(FileMenu, framework::MenuItem)     \
  X(FileQuit, framework::QuitMenuItem)

// The main window: serial console and updater.
class Window1_ : public framework::Window {
 public:
  Window1_() : framework::Window("Window1") {}

  // Shared with the handlers and the upload workers.
  std::int32_t SerialPortCount = 0;
  std::int32_t SelectedIndex = 0;
  std::string Reply;
  bool GetEntireReply = false;
  std::shared_ptr<framework::FolderItem> f;

  void Layout() override;
  void CreateControls() override;
  void CreateControls0_();
  void CreateControls1_();

#define WINDOW1_DECLARE_ACCESSOR(name, type) type* name();
  WINDOW1_CONTROLS(WINDOW1_DECLARE_ACCESSOR)
  WINDOW1_MENU_ITEMS(WINDOW1_DECLARE_ACCESSOR)
#undef WINDOW1_DECLARE_ACCESSOR

  void Serial1_Error(framework::Serial* port);
  void Serial1_DataAvailable(framework::Serial* port);
  void PortPopup_Change(framework::PopupMenu* popup);
  bool TxText_KeyDown(framework::TextField* field, const std::string& key);
  void ConnectPB_Action(framework::PushButton* button);
  void BaudPopup_Change(framework::PopupMenu* popup);
  void BaudPopup_Open(framework::PopupMenu* popup);
  void ConfigPB_Action(framework::PushButton* button);
  void BootloaderPB_Action(framework::PushButton* button);
  void GenVersionPB_Action(framework::PushButton* button);
  void VersionPB1_Action(framework::PushButton* button);
  void LoadAnzCodePB_Action(framework::PushButton* button);
  void LoadGenCodePB_Action(framework::PushButton* button);
  void AnzVersionPB_Action(framework::PushButton* button);

  void AddMenuHandlers(framework::Window* w) override;
  void Event_Open() override;
  void Event_Close() override;
  void Event_EnableMenuItems() override;
  bool AppleAbout_Action_();

  // The kind of file whose upload runs now (".bin", ".gen", ".anz"), or "" when none does.
  // The workers share the port, Reply and the displays, so nothing else may use the link
  // while one runs.
  std::string RunningUpload();

 private:
  // While an upload runs, tells the user why the control does nothing, when it works again
  // and what to do if the upload never ends; returns true.
  bool RefusedDuringUpload(const std::string& worksAgain);
  // A file button: the dialog filtered to the type, f, then the worker's run.
  void Launch(framework::FileType* type, framework::Thread* (*worker)(Window1_&));
  void SendConsoleCommand(const std::string& command);
  void Reconnect();
};

// The main window, made on first use.
Window1_* Window1();
