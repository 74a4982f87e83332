// The message box. A modal dialog runs a nested event loop, which must never run on a
// thread's fiber stack: a box asked for there is shown from the main stack instead.
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <functional>

#include "framework/detail.h"
#include "framework/msgbox.h"
#include "framework/testing.h"
#include "framework/thread.h"
#include "framework/window.h"

namespace framework {
namespace {

std::function<void(const std::string&)>& Seam() {
  static std::function<void(const std::string&)> box;
  return box;
}

// Every box belongs to the main window, whichever window is in front (About, say): the
// program's messages are about its work there. Only with no window open has a box no
// owner; it then stands in the middle of the screen.
QWidget* OwnerWindow() {
  Window* main = detail::MainWindow();
  return main ? main->Widget() : nullptr;
}

// Qt places a dialog on its parent as though a 10 x 40 frame stood round it whenever it
// knows of no frame (no window manager, or none has framed a window yet), so that the box
// would stand that far up and left of the centre. Here the box's frame is taken to be the
// size of its owner's, and the framed box is centred on the framed owner, within the screen.
class CentredMessageBox : public QMessageBox {
 public:
  using QMessageBox::QMessageBox;

 protected:
  void showEvent(QShowEvent* e) override {
    QMessageBox::showEvent(e);  // the box takes its final size here
    QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    if (!owner || e->spontaneous()) return;
    const QRect framed = owner->frameGeometry(), inner = owner->geometry();
    const int left = inner.left() - framed.left(), top = inner.top() - framed.top();
    const QSize frame(width() + framed.width() - inner.width(), height() + framed.height() - inner.height());
    QPoint at(framed.x() + (framed.width() - frame.width()) / 2, framed.y() + (framed.height() - frame.height()) / 2);
    if (QScreen* screen = owner->screen()) {
      const QRect room = screen->availableGeometry();
      at.setX(std::clamp(at.x(), room.left(), std::max(room.left(), room.right() + 1 - frame.width())));
      at.setY(std::clamp(at.y(), room.top(), std::max(room.top(), room.bottom() + 1 - frame.height())));
    }
    // The content's place: the frame's less the frame's left and top.
    setGeometry(QRect(at + QPoint(left, top), size()));
  }
};

void ShowNow(const std::string& text) {
  if (Seam()) {
    Seam()(text);
    return;
  }
  detail::EnsureQtApplication();
  // Modal to its window and centred on it. On the heap: should the window go while the box
  // is up, it takes the box with it, and the guard knows.
  QPointer<QMessageBox> box = new CentredMessageBox(
      QMessageBox::NoIcon, QStringLiteral("Vantrel-9 Programmer"),
      QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), QMessageBox::Ok, OwnerWindow());
  box->setWindowModality(box->parentWidget() ? Qt::WindowModal : Qt::ApplicationModal);
  box->exec();
  delete box.data();
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
