// Menu items on QActions. An item's command goes first to the handler that the front
// window registered for the item's name, then to the item's own default action.
#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "framework/application.h"
#include "framework/detail.h"
#include "framework/menu.h"
#include "framework/window.h"

namespace framework {
namespace {

QString ShortcutText(const std::string& s) {
  QString t = QString::fromUtf8(s.c_str());
  t.replace(QStringLiteral("Cmd+"), QStringLiteral("Ctrl+"));
  return t;
}

// The Edit commands act on the focused text control.
void EditCommand(const std::string& name) {
  QWidget* focus = QApplication::focusWidget();
  if (auto* e = qobject_cast<QLineEdit*>(focus)) {
    bool ro = e->isReadOnly();
    if (name == "EditUndo" && !ro) e->undo();
    else if (name == "EditCut" && !ro) e->cut();
    else if (name == "EditCopy") e->copy();
    else if (name == "EditPaste" && !ro) e->paste();
    else if (name == "EditClear" && !ro && e->hasSelectedText()) e->del();
    else if (name == "EditSelectAll") e->selectAll();
  } else if (auto* t = qobject_cast<QPlainTextEdit*>(focus)) {
    bool ro = t->isReadOnly();
    if (name == "EditUndo" && !ro) t->undo();
    else if (name == "EditCut" && !ro) t->cut();
    else if (name == "EditCopy") t->copy();
    else if (name == "EditPaste" && !ro) t->paste();
    else if (name == "EditClear" && !ro) t->textCursor().removeSelectedText();
    else if (name == "EditSelectAll") t->selectAll();
  }
}

Window* WindowOf(QWidget* w) {
  while (w && !w->isWindow()) w = w->parentWidget();
  if (!w) return nullptr;
  return detail::WindowOfWidget(w);
}

}  // namespace

MenuItem::MenuItem() {
  detail::EnsureQtApplication();
  action_ = new QAction;
  action_->setShortcutContext(Qt::ApplicationShortcut);
  QObject::connect(action_, &QAction::triggered, action_, [this] {
    Dispatch([this] {
      // The front window's handler, then any open window's (the one with the menu bar).
      std::vector<Window*> order;
      if (Window* front = WindowOf(QApplication::activeWindow())) order.push_back(front);
      for (Window* w : detail::OpenWindowList())
        if (std::find(order.begin(), order.end(), w) == order.end()) order.push_back(w);
      for (Window* w : order)
        if (w->HandleMenu(name_)) return;
      DefaultAction();
    });
  });
}

MenuItem::~MenuItem() {
  children_.clear();
  delete action_;
}

void MenuItem::SetText(const std::string& text) {
  text_ = text;
  action_->setText(QString::fromUtf8(text.c_str()));
  action_->setSeparator(text == "-");
}

void MenuItem::SetKeyboardShortcut(const std::string& shortcut) {
  shortcut_ = shortcut;
  action_->setShortcut(QKeySequence(ShortcutText(shortcut)));
}

bool MenuItem::Enabled() const { return action_->isEnabled(); }

void MenuItem::Enable() { action_->setEnabled(true); }

void MenuItem::Append(MenuItem* item) { children_.emplace_back(item); }

MenuItem* MenuItem::Item(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return children_[static_cast<std::size_t>(index)].get();
}

MenuItem* MenuItem::Child(const std::string& name) const {
  for (const auto& c : children_)
    if (c->name_ == name) return c.get();
  return nullptr;
}

MenuItem* MenuItem::Lookup_(const std::string& name) {
  if (name_ == name) return this;
  for (const auto& c : children_)
    if (MenuItem* found = c->Lookup_(name)) return found;
  return nullptr;
}

void MenuItem::DefaultAction() { EditCommand(name_); }

void QuitMenuItem::DefaultAction() { RuntimeQuit(); }

}  // namespace framework
