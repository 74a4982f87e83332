// The device link: the port list, opening the chosen port at 115200 bit/s, Reconnect,
// the Connected display and port errors.
#include "framework/msgbox.h"
#include "framework/strings.h"
#include "window/window1.h"

namespace {

// Rows of the hidden baud list and the speed code each stands for.
int SpeedCodeOfRow(int row) {
  static const int kCodes[] = {framework::Serial::Baud9600, framework::Serial::Baud19200,
                               framework::Serial::Baud38400, framework::Serial::Baud115200,
                               framework::Serial::Baud230400};
  return row >= 0 && row < 5 ? kCodes[row] : -1;
}

}  // namespace

void Window1_::Event_Open() {
  SerialPortCount = framework::System::SerialPortCount();
  PortPopup()->DeleteAllRows();
  if (SerialPortCount > 0) {
    for (int i = 0; i <= SerialPortCount - 1; ++i)
      PortPopup()->AddRow(framework::Str(i) + "  " + framework::System::SerialPort(i).Name);
    PortPopup()->SetListIndex(SerialPortCount - 1);  // raises Change, which opens it
  } else {
    PortPopup()->AddRow("none");
  }
  TxText()->SetFocus();
}

// Steps shared by a reselection and Reconnect, on the list's current selection.
void Window1_::Reconnect() {
  SelectedIndex = PortPopup()->ListIndex();
  if (SelectedIndex < 0) {
    framework::MsgBox("Error opening serial port. Invalid serial Port:" + framework::Str(SelectedIndex));
    return;
  }
  Serial1()->SetSerialPort(framework::System::SerialPort(SelectedIndex));
  bool ok = Serial1()->Open();
  Connected_Text()->SetText(framework::Str(ok));
  // Why the port did not open (in use, and by what; no permission; no such device), for the
  // technician who points at the False.
  Connected_Text()->SetHelpTag(ok ? "" : Serial1()->LastErrorText());
}

void Window1_::PortPopup_Change(framework::PopupMenu*) {
  // A link that has ended (the instrument hung up) has no reply in flight: choosing the port
  // again is then the way back, and the waiting upload carries on once the instrument answers.
  if (!RunningUpload().empty() && Serial1()->IsOpen()) {
    // Setting the row back raises Change again: it finds the row in use and ends here.
    if (PortPopup()->ListIndex() == SelectedIndex) return;
    PortPopup()->SetListIndex(SelectedIndex);
    RefusedDuringUpload("The port can be changed again when it is done.");
    return;
  }
  Serial1()->Close();
  Serial1()->Flush();
  Reconnect();
}

void Window1_::ConnectPB_Action(framework::PushButton*) {
  // Closing and opening would drop the reply the upload waits for; after a hang-up there is
  // none, and Reconnect is how the upload gets its link back.
  if (Serial1()->IsOpen() && RefusedDuringUpload("Reconnect works again when it is done.")) return;
  Serial1()->Close();
  Serial1()->Flush();
  Connected_Text()->SetText("No");
  Reconnect();
}

void Window1_::BaudPopup_Open(framework::PopupMenu* popup) {
  int code = SpeedCodeOfRow(popup->ListIndex());
  if (code >= 0) Serial1()->SetBaud(code);
}

void Window1_::BaudPopup_Change(framework::PopupMenu* popup) {
  int code = SpeedCodeOfRow(popup->ListIndex());
  if (code >= 0) Serial1()->SetBaud(code);
  Serial1()->Reset();
}

void Window1_::Serial1_Error(framework::Serial*) { RxText()->SetText("Verify Connection"); }

void Window1_::Event_Close() {
  Serial1()->Close();
  Serial1()->Flush();
}
