#pragma once
// Counts the paint events that reach a widget it is installed on as an event filter.
#include <QEvent>
#include <QObject>

namespace testsupport {

class PaintCounter : public QObject {
 public:
  int count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) ++count;
    return false;
  }
};

}  // namespace testsupport
