// The message box. A modal dialog runs a nested event loop, which must never run on a
// thread's fiber stack: a box asked for there is shown from the main stack instead.
#include <QMessageBox>
#include <QTimer>

#include <deque>
#include <functional>

#include "framework/detail.h"
#include "framework/msgbox.h"
#include "framework/testing.h"
#include "framework/thread.h"

namespace framework {
namespace {

std::function<void(const std::string&)>& Seam() {
  static std::function<void(const std::string&)> box;
  return box;
}

void ShowNow(const std::string& text) {
  if (Seam()) {
    Seam()(text);
    return;
  }
  detail::EnsureQtApplication();
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Vantrel-9 Programmer"),
                  QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
                  QMessageBox::Ok);
  box.exec();
}

}  // namespace

namespace detail {
void ShowMessage(const std::string& text) {
  if (!OnThreadStack()) {
    ShowNow(text);
    return;
  }
  QTimer::singleShot(0, [text] { ShowNow(text); });
}
}  // namespace detail

void MsgBox(const std::string& text) { detail::ShowMessage(text); }

namespace testing {
void SetMessageBox(std::function<void(const std::string&)> box) { Seam() = std::move(box); }
}  // namespace testing

}  // namespace framework
