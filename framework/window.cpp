// Windows on Qt: a top-level main window whose menu bar sits above the content area; the
// controls are children of the content area at their design coordinates.
#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QVariant>

#include <algorithm>

#include "framework/application.h"
#include "framework/detail.h"
#include "framework/window.h"

namespace framework {
namespace {

class TopWidget : public QMainWindow {
 public:
  explicit TopWidget(Window* owner) : owner_(owner) {}
  Window* owner_;

 protected:
  void closeEvent(QCloseEvent* e) override {
    // A window without a close box can't be closed from its frame (Alt+F4 and the like).
    if (!owner_ || owner_->IsClosed()) return QMainWindow::closeEvent(e);
    if (!owner_->DesignValues().CloseButton) {
      e->ignore();
      return;
    }
    e->ignore();
    Window* w = owner_;
    Dispatch([w] { w->Close(); });
  }
  void keyPressEvent(QKeyEvent* e) override {
    // Return or Enter that no control took presses the window's default button.
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
      for (QPushButton* b : findChildren<QPushButton*>())
        if (b->property("vantrelDefault").toBool() && b->isEnabled() && b->isVisible()) {
          b->click();
          return;
        }
    }
    QMainWindow::keyPressEvent(e);
  }
};

class ContentWidget : public QWidget {
 public:
  explicit ContentWidget(Window* owner) : owner_(owner) {}
  Window* owner_;

  // The controls are placed by hand, so no layout gives a size: without this a resizable
  // window would open at Qt's fallback size instead of its design size.
  QSize sizeHint() const override {
    return owner_ ? QSize(owner_->Width(), owner_->Height()) : QWidget::sizeHint();
  }

 protected:
  void resizeEvent(QResizeEvent* e) override {
    QWidget::resizeEvent(e);
    detail::RelayoutControls(owner_);
  }
};

}  // namespace

namespace detail {
void RelayoutControls(Window* w) {
  if (!w || !w->ContentArea()) return;
  int dw = w->ContentArea()->width() - w->Width();
  int dh = w->ContentArea()->height() - w->Height();
  for (int i = 0; i < w->ControlCount(); ++i)
    if (auto* rc = dynamic_cast<RectControl*>(w->ControlAt(i))) rc->Relayout(dw, dh);
}
}  // namespace detail

Window::Window(std::string className) : className_(std::move(className)) {
  detail::EnsureQtApplication();
  auto* top = new TopWidget(this);
  top_ = top;
  content_ = new ContentWidget(this);
  top->setCentralWidget(content_);
  top_->setAttribute(Qt::WA_DeleteOnClose, false);
}

Window::~Window() {
  if (auto* top = static_cast<TopWidget*>(top_)) top->owner_ = nullptr;
  if (auto* c = static_cast<ContentWidget*>(content_)) c->owner_ = nullptr;
  detail::ForgetWindow(this);
  // Controls first: they own widgets inside the top widget.
  order_.clear();
  byName_.clear();
  owned_.clear();
  if (top_) {
    if (auto* mb = static_cast<QMainWindow*>(top_)->menuBar()) {
      // Actions belong to the menu items, not to this window's menus.
      for (QAction* a : mb->actions())
        if (a->menu()) a->menu()->clear();
    }
    delete top_;
  }
}

void Window::Constructor() {
  Layout();
  CreateControls();
  AddMenuHandlers(this);
  // Keyboard order follows the controls' tab indexes.
  std::vector<RectControl*> focusable;
  for (Control* c : order_)
    if (auto* rc = dynamic_cast<RectControl*>(c))
      if (rc->Widget() && rc->TabStop() && rc->TabIndex() >= 0 &&
          rc->Widget()->focusPolicy() != Qt::NoFocus)
        focusable.push_back(rc);
  std::stable_sort(focusable.begin(), focusable.end(),
                   [](RectControl* a, RectControl* b) { return a->TabIndex() < b->TabIndex(); });
  for (std::size_t i = 1; i < focusable.size(); ++i)
    QWidget::setTabOrder(focusable[i - 1]->Widget(), focusable[i]->Widget());
  detail::RegisterOpenWindow(this);
  if (design_.Visible) Show();
  for (Control* c : order_) c->RaiseOpen();
  Event_Open();
}

void Window::ApplyDesign(const WindowDesign& d) {
  design_ = d;
  top_->setWindowTitle(QString::fromUtf8(d.Title.c_str()));
  if (d.HasBackColor) {
    QPalette p = content_->palette();
    p.setColor(QPalette::Window, QColor(d.BackColor.Red, d.BackColor.Green, d.BackColor.Blue));
    content_->setPalette(p);
    content_->setAutoFillBackground(true);
  }
  content_->setMinimumSize(std::max(d.MinWidth, 0), std::max(d.MinHeight, 0));
  content_->setMaximumSize(std::min(d.MaxWidth, QWIDGETSIZE_MAX), std::min(d.MaxHeight, QWIDGETSIZE_MAX));
  if (!d.Resizeable) content_->setFixedSize(d.Width, d.Height);
  content_->resize(d.Width, d.Height);
  static_cast<QMainWindow*>(top_)->menuBar()->setVisible(menuBar_ && d.MenuBarVisible);
  ApplyFrame();
  top_->adjustSize();
  if (!d.Resizeable) {
    top_->setFixedSize(top_->sizeHint());
  } else {
    // The content area at its design size, the menu bar (if shown) above it.
    QMenuBar* bar = static_cast<QMainWindow*>(top_)->menuBar();
    const int barHeight = bar->isVisibleTo(top_) ? bar->sizeHint().height() : 0;
    top_->resize(d.Width, d.Height + barHeight);
  }
}

void Window::ApplyFrame() {
  Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
  if (design_.CloseButton) flags |= Qt::WindowCloseButtonHint;
  if (design_.MinimizeButton) flags |= Qt::WindowMinimizeButtonHint;
  if (design_.MaximizeButton && design_.Resizeable) flags |= Qt::WindowMaximizeButtonHint;
  top_->setWindowFlags(flags);
}

void Window::SetMenuBar(std::shared_ptr<framework::MenuBar> bar) {
  menuBar_ = std::move(bar);
  QMenuBar* qbar = static_cast<QMainWindow*>(top_)->menuBar();
  qbar->clear();
  if (!menuBar_) {
    qbar->setVisible(false);
    return;
  }
  for (int i = 0; i < menuBar_->Count(); ++i) {
    MenuItem* menuItem = menuBar_->Item(i);
    QMenu* menu = qbar->addMenu(QString::fromUtf8(menuItem->Text().c_str()));
    menu->setObjectName(QString::fromUtf8(menuItem->Name().c_str()));
    QObject::connect(menu, &QMenu::aboutToShow, menu, [this] {
      Dispatch([this] { Event_EnableMenuItems(); });
    });
    for (int j = 0; j < menuItem->Count(); ++j) {
      MenuItem* item = menuItem->Item(j);
      if (item->IsSeparator())
        menu->addSeparator();
      else
        menu->addAction(item->Action());
    }
  }
  qbar->setVisible(design_.MenuBarVisible);
}

void Window::Show() {
  if (closed_) return;
  top_->show();
  top_->raise();
  top_->activateWindow();
}

void Window::Close() {
  if (closed_) return;
  closed_ = true;
  Event_Close();
  top_->hide();
  detail::ForgetWindow(this);
  detail::WindowClosed(this);
}

void Window::Adopt(std::unique_ptr<Control> control) {
  control->window_ = this;
  owned_.push_back(std::move(control));
}

void Window::AddControl_(const std::string& name, Control* control) {
  control->name_ = name;
  control->window_ = this;
  if (auto* rc = dynamic_cast<RectControl*>(control))
    if (rc->Widget()) {
      rc->Widget()->setParent(content_);
      rc->Widget()->setObjectName(QString::fromUtf8(name.c_str()));
    }
  order_.push_back(control);
  byName_[name] = control;
}

Control* Window::ControlByName_(const std::string& name) const {
  auto it = byName_.find(name);
  return it == byName_.end() ? nullptr : it->second;
}

void Window::AddMenuHandler_(const std::string& itemName, std::function<bool()> handler) {
  menuHandlers_[itemName] = std::move(handler);
}

bool Window::HandleMenu(const std::string& itemName) {
  auto it = menuHandlers_.find(itemName);
  if (it == menuHandlers_.end()) return false;
  it->second();
  return true;
}

}  // namespace framework
