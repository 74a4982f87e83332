#pragma once
// Records the texts a label was painted with, in order: what the user saw, not only what the
// label ended with. Texts() has each change once; All() every paint, repeats included (a
// redraw without a change of text paints once more).
#include <QEvent>
#include <QLabel>
#include <QPointer>

#include <algorithm>
#include <string>
#include <vector>

#include "framework/control.h"

namespace testsupport {

class PaintedTexts : public QObject {
 public:
  explicit PaintedTexts(framework::Label* label) : label_(static_cast<QLabel*>(label->Widget())) {
    label_->installEventFilter(this);
  }
  ~PaintedTexts() override {
    if (label_) label_->removeEventFilter(this);
  }
  const std::vector<std::string>& Texts() const { return texts_; }
  const std::vector<std::string>& All() const { return all_; }
  bool Showed(const std::string& text) const {
    return std::find(texts_.begin(), texts_.end(), text) != texts_.end();
  }

 protected:
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint && label_) {
      std::string t = label_->text().toStdString();
      if (texts_.empty() || texts_.back() != t) texts_.push_back(t);
      all_.push_back(std::move(t));
    }
    return false;
  }

 private:
  QPointer<QLabel> label_;
  std::vector<std::string> texts_;
  std::vector<std::string> all_;
};

}  // namespace testsupport
