// The visual controls on Qt widgets.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStringDecoder>
#include <QTextDocument>
#include <QTimer>
#include <QValidator>
#include <QWheelEvent>

#include <algorithm>
#include <limits>

#include "framework/application.h"
#include "framework/control.h"
#include "framework/detail.h"
#include "framework/window.h"

namespace framework {
namespace {

// The design was laid out for a small system font measured in pixels; "size 10" and the
// like are pixel sizes of the same font.
constexpr int kDefaultPixelSize = 12;

// Text as the user should see it: UTF-8 when it is, otherwise one character per byte, so
// that input from the instrument is shown as received.
QString Shown(const std::string& s) {
  QStringDecoder utf8(QStringDecoder::Utf8);
  QString text = utf8(QByteArrayView(s.data(), static_cast<qsizetype>(s.size())));
  if (!utf8.hasError()) return text;
  return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

std::string Bytes(const QString& s) {
  QByteArray b = s.toUtf8();
  return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

// Line ends of this program's texts are CR (and CR LF from the instrument); the widgets
// want LF.
QString ForDisplay(const std::string& s) {
  QString t = Shown(s);
  t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  t.replace(QChar('\r'), QChar('\n'));
  return t;
}

// A caption's doubled ampersand stands for one.
QString ShownCaption(const std::string& s) {
  QString t = Shown(s);
  t.replace(QStringLiteral("&&"), QStringLiteral("&"));
  return t;
}

// The key as a string, the way key handlers expect it: the typed character, or the
// control character that stands for a non-printing key.
std::string KeyText(const QKeyEvent* e) {
  switch (e->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: return "\r";
    case Qt::Key_Tab: return "\t";
    case Qt::Key_Backspace: return "\b";
    case Qt::Key_Escape: return "\x1b";
    case Qt::Key_Delete: return "\x7f";
    case Qt::Key_Left: return "\x1c";
    case Qt::Key_Right: return "\x1d";
    case Qt::Key_Up: return "\x1e";
    case Qt::Key_Down: return "\x1f";
    case Qt::Key_Home: return "\x01";
    case Qt::Key_End: return "\x04";
    case Qt::Key_PageUp: return "\x0b";
    case Qt::Key_PageDown: return "\x0c";
    default: break;
  }
  return Bytes(e->text());
}

class KeyFilter : public QObject {
 public:
  // Owned by the field's widget, with which it goes.
  KeyFilter(TextField* field, QObject* widget) : QObject(widget), field_(field) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress || !field_->KeyDown) return false;
    std::string key = KeyText(static_cast<QKeyEvent*>(event));
    if (key.empty()) return false;  // a modifier alone is no key press
    bool claimed = false;
    TextField* f = field_;
    Dispatch([&] { claimed = f->KeyDown && f->KeyDown(f, key); });
    return claimed;
  }

 private:
  TextField* field_;
};

// A one-line field holds one line, so that a pasted text goes out as one command: each line
// break pasted or dropped into it (CR LF, CR or LF) becomes one blank, and the breaks that
// end the pasted text add nothing (a copied "ver?" line brings its line end along). The
// field's text never holds a break, so the breaks seen here are the inserted text's, and
// the cursor stands right after it: breaks just before the cursor end that text.
class OneLine : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int& pos) const override {
    auto isBreak = [](QChar c) { return c == QChar('\r') || c == QChar('\n'); };
    if (!input.contains(QChar('\r')) && !input.contains(QChar('\n'))) return Acceptable;
    pos = std::clamp(pos, 0, static_cast<int>(input.size()));
    int end = pos;
    while (end > 0 && isBreak(input[end - 1])) --end;
    input.remove(end, pos - end);
    pos = end;
    QString one;
    one.reserve(input.size());
    int cursor = pos;
    for (qsizetype i = 0; i < input.size(); ++i) {
      if (!isBreak(input[i])) {
        one.append(input[i]);
        continue;
      }
      one.append(QChar(' '));
      if (input[i] == QChar('\r') && i + 1 < input.size() && input[i + 1] == QChar('\n')) {
        if (i + 1 < pos) --cursor;  // two characters became one before the cursor
        ++i;
      }
    }
    input = one;
    pos = cursor;
    return Acceptable;
  }
};

class LineWidget : public QWidget {
 public:
  QPoint from, to;
  QColor color{0, 0, 0};
  int width = 1;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setPen(QPen(color, width));
    p.drawLine(from, to);
  }
};

// The progress bar, painted here rather than by the style: an upload redraws it at once for
// every page or record and, during the erase, in every pass of the wait, and a style's bar
// (rounded, anti-aliased, gradients, an animation of its own) costs far more to draw than
// the rest of a record's work. This one is a frame, a flat filled part and, while busy, a
// stripe that slides through: a few fills. It is a QProgressBar still, so that its range
// and value read as any bar's.
//
// A busy stripe's place follows a clock. A single-shot timer asks for the next picture once
// the interval has passed since the last paint; while the erase wait redraws the bar more
// often than that, those redraws move the stripe and the timer asks for none.
class PlainProgressBar : public QProgressBar {
 public:
  PlainProgressBar() {
    setAttribute(Qt::WA_OpaquePaintEvent);
    frameTimer_.setSingleShot(true);
    QObject::connect(&frameTimer_, &QTimer::timeout, this, [this] { NextFrame(); });
  }

  // A new range and value for the next redraw; the event loop is asked to paint only when
  // the picture changes. QProgressBar::setValue would repaint at once by itself, and here
  // only Refresh(true) paints at once.
  void Set(int maximum, int value) {
    const bool wasBusy = Busy();
    const bool wasOff = testAttribute(Qt::WA_UpdatesDisabled);
    setAttribute(Qt::WA_UpdatesDisabled, true);
    setRange(0, maximum);
    if (maximum > 0) setValue(value);
    setAttribute(Qt::WA_UpdatesDisabled, wasOff);
    if (Busy() && !wasBusy) busySince_.start();
    if (!Busy()) frameTimer_.stop();
    if (Busy() != wasBusy || (!Busy() && FilledWidth() != paintedFill_)) update();
  }

 protected:
  // Every pixel is painted once: the frame, the fill and the base colour around it.
  void paintEvent(QPaintEvent*) override {
    const QRect all = rect(), inner = Inner();
    QRect filled;
    if (Busy()) {
      paintedStripe_ = StripeLeft();
      filled = QRect(inner.left() + paintedStripe_, inner.top(), StripeWidth(), inner.height()) & inner;
      lastPaint_ = busySince_.elapsed();
      if (!frameTimer_.isActive()) frameTimer_.start(kFrameIntervalMs);
    } else {
      paintedFill_ = FilledWidth();
      filled = QRect(inner.left(), inner.top(), paintedFill_, inner.height());
    }
    QPainter p(this);
    const QColor frame = palette().color(QPalette::Mid), base = palette().color(QPalette::Base);
    p.fillRect(all.left(), all.top(), all.width(), 1, frame);
    p.fillRect(all.left(), all.bottom(), all.width(), 1, frame);
    p.fillRect(all.left(), all.top() + 1, 1, all.height() - 2, frame);
    p.fillRect(all.right(), all.top() + 1, 1, all.height() - 2, frame);
    p.fillRect(all.left() + 1, all.top() + 1, all.width() - 2, 1, base);
    p.fillRect(all.left() + 1, all.bottom() - 1, all.width() - 2, 1, base);
    const int fillLeft = filled.isEmpty() ? inner.left() : filled.left();
    const int fillRight = filled.isEmpty() ? inner.left() - 1 : filled.right();
    p.fillRect(QRect(QPoint(all.left() + 1, inner.top()), QPoint(fillLeft - 1, inner.bottom())), base);
    if (!filled.isEmpty()) p.fillRect(filled, palette().color(QPalette::Highlight));
    p.fillRect(QRect(QPoint(fillRight + 1, inner.top()), QPoint(all.right() - 1, inner.bottom())), base);
  }

 private:
  bool Busy() const { return maximum() <= 0; }
  // Inside the one-pixel frame, less one pixel of the base colour all round.
  QRect Inner() const { return rect().adjusted(2, 2, -2, -2); }
  int FilledWidth() const {
    const qint64 span = std::max(1, maximum());
    return static_cast<int>(qint64(std::clamp(value(), 0, maximum())) * Inner().width() / span);
  }
  int StripeWidth() const { return std::max(8, Inner().width() / 4); }
  // The stripe enters at the left and leaves at the right once a cycle.
  int StripeLeft() const {
    const qint64 travel = Inner().width() + StripeWidth();
    const qint64 step = busySince_.isValid() ? busySince_.elapsed() * travel / kBusyCycleMs : 0;
    return static_cast<int>(step % travel) - StripeWidth();
  }
  // The timer runs from the first paint on: restarting it at every paint would cost more
  // than the paint.
  void NextFrame() {
    if (!Busy()) return;
    const qint64 since = busySince_.elapsed() - lastPaint_;
    if (since < kFrameIntervalMs)
      frameTimer_.start(static_cast<int>(kFrameIntervalMs - since));
    else if (StripeLeft() != paintedStripe_)
      update();
    else
      frameTimer_.start(kFrameIntervalMs);
  }

  static constexpr qint64 kBusyCycleMs = 2500;
  // Longer than the 50 ms after which a wait with nothing to do polls, and redraws, again.
  static constexpr int kFrameIntervalMs = 60;
  QTimer frameTimer_;
  QElapsedTimer busySince_;
  qint64 lastPaint_ = 0;
  int paintedFill_ = -1, paintedStripe_ = std::numeric_limits<int>::min();
};

}  // namespace

Control::~Control() = default;

RectControl::~RectControl() {
  // The widget belongs to the control, whatever Qt parent it has.
  delete widget_;
}

void RectControl::Adopt(QWidget* widget) {
  widget_ = widget;
  widget_->setAttribute(Qt::WA_DeleteOnClose, false);
}

void RectControl::ApplyDesign(const Design& d) {
  d_ = d;
  ApplyOwnDesign(d);
  if (!widget_) return;
  Relayout(0, 0);
  widget_->setVisible(d.Visible);
  widget_->setEnabled(d.Enabled);
  widget_->setToolTip(d.HelpTag.empty() ? QString() : Shown(d.HelpTag));
  if (!d.TabStop && widget_->focusPolicy() != Qt::NoFocus) widget_->setFocusPolicy(Qt::ClickFocus);
  ApplyFont();
}

void RectControl::SetHelpTag(const std::string& tag) {
  d_.HelpTag = tag;
  if (widget_) widget_->setToolTip(tag.empty() ? QString() : Shown(tag));
}

void RectControl::Relayout(int dw, int dh) {
  if (!widget_) return;
  int x = d_.Left, w = d_.Width, y = d_.Top, h = d_.Height;
  if (d_.LockRight && d_.LockLeft) w += dw;
  else if (d_.LockRight) x += dw;
  if (d_.LockBottom && d_.LockTop) h += dh;
  else if (d_.LockBottom) y += dh;
  widget_->setGeometry(x, y, std::max(w, 0), std::max(h, 0));
}

void RectControl::SetTextSize(double points) {
  textSize_ = points;
  ApplyFont();
}

void RectControl::ApplyFont() {
  if (!widget_) return;
  QFont f = QApplication::font();
  f.setPixelSize(textSize_ > 0 ? static_cast<int>(textSize_ + 0.5) : kDefaultPixelSize);
  f.setBold(d_.Bold);
  f.setItalic(d_.Italic);
  f.setUnderline(d_.Underline);
  widget_->setFont(f);
}

void RectControl::Refresh(bool immediately) {
  if (!widget_) return;
  if (immediately)
    widget_->repaint();
  else
    widget_->update();
}

void RectControl::SetFocus() {
  if (widget_) widget_->setFocus(Qt::OtherFocusReason);
}

// --- Label ---
void Label::Constructor() {
  auto* l = new QLabel;
  l->setTextFormat(Qt::PlainText);
  l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  Adopt(l);
}

void Label::ApplyOwnDesign(const Design& d) { SetText(d.Text); }

void Label::SetText(const std::string& text) {
  text_ = text;
  auto* l = static_cast<QLabel*>(widget_);
  l->setWordWrap(d_.Multiline);
  l->setText(ShownCaption(text));
  int align = d_.TextAlign == 1 ? Qt::AlignLeft : d_.TextAlign == 2 ? Qt::AlignHCenter
            : d_.TextAlign == 3 ? Qt::AlignRight : Qt::AlignLeft;
  l->setAlignment(Qt::Alignment(align) | Qt::AlignVCenter);
  l->setTextInteractionFlags(d_.Selectable ? Qt::TextSelectableByMouse : Qt::NoTextInteraction);
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, QColor(d_.TextColor.Red, d_.TextColor.Green, d_.TextColor.Blue));
  l->setPalette(p);
}

// --- TextField ---
void TextField::Constructor() {
  auto* e = new QLineEdit;
  Adopt(e);
  e->installEventFilter(new KeyFilter(this, e));
  e->setValidator(new OneLine(e));
}

void TextField::ApplyOwnDesign(const Design& d) {
  auto* e = static_cast<QLineEdit*>(widget_);
  e->setFrame(d.Border);
  e->setReadOnly(d.ReadOnly);
  e->setEchoMode(d.Password ? QLineEdit::Password : QLineEdit::Normal);
  e->setPlaceholderText(Shown(d.CueText));
  // 0 means no limit; Qt would otherwise cut a longer paste at 32767 characters.
  e->setMaxLength(d.LimitText > 0 ? d.LimitText : std::numeric_limits<int>::max());
  SetText(d.Text);
}

std::string TextField::Text() const { return Bytes(static_cast<QLineEdit*>(widget_)->text()); }

void TextField::SetText(const std::string& text) {
  static_cast<QLineEdit*>(widget_)->setText(Shown(text));
}

// --- TextArea ---
namespace {
// Keeps the text as the program set it, byte for byte, until the user edits it.
struct AreaText : QObject {
  std::string text;
};
}  // namespace

void TextArea::Constructor() {
  auto* e = new QPlainTextEdit;
  e->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Adopt(e);
  auto* keep = new AreaText;
  keep->setParent(e);
  keep->setObjectName(QStringLiteral("vantrelText"));
}

void TextArea::ApplyOwnDesign(const Design& d) {
  auto* e = static_cast<QPlainTextEdit*>(widget_);
  e->setReadOnly(d.ReadOnly);
  e->setFrameShape(d.Border ? QFrame::StyledPanel : QFrame::NoFrame);
  e->setVerticalScrollBarPolicy(d.ScrollbarVertical ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
  e->setHorizontalScrollBarPolicy(d.ScrollbarHorizontal ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
  e->setLineWrapMode(d.ScrollbarHorizontal ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
  e->setTabChangesFocus(!d.AcceptTabs);
  SetText(d.Text);
}

std::string TextArea::Text() const {
  auto* e = static_cast<QPlainTextEdit*>(widget_);
  if (!e->document()->isModified())
    return e->findChild<AreaText*>(QStringLiteral("vantrelText"))->text;
  QString t = e->toPlainText();
  t.replace(QChar('\n'), QChar('\r'));
  return Bytes(t);
}

void TextArea::SetText(const std::string& text) {
  auto* e = static_cast<QPlainTextEdit*>(widget_);
  e->findChild<AreaText*>(QStringLiteral("vantrelText"))->text = text;
  e->setPlainText(ForDisplay(text));
  e->document()->setModified(false);
}

// --- PushButton ---
void PushButton::Constructor() {
  auto* b = new QPushButton;
  b->setAutoDefault(false);
  Adopt(b);
  QObject::connect(b, &QPushButton::clicked, b, [this] {
    Dispatch([this] {
      if (Action) Action(this);
    });
  });
}

void PushButton::ApplyOwnDesign(const Design& d) {
  auto* b = static_cast<QPushButton*>(widget_);
  b->setText(ShownCaption(d.Text).replace(QChar('&'), QStringLiteral("&&")));
  b->setProperty("vantrelDefault", d.Default);
  b->setDefault(d.Default);
}

void PushButton::SetCaption(const std::string& caption) {
  d_.Text = caption;
  static_cast<QPushButton*>(widget_)->setText(ShownCaption(caption).replace(QChar('&'), QStringLiteral("&&")));
}

// --- PopupMenu ---
namespace {

// A pop-up menu: the row changes only when the user opens the list and picks one. A
// closed QComboBox would step through its rows on a wheel notch, an arrow key or a typed
// letter, and each step here reopens the serial port under a running instrument.
class ChoiceOnlyComboBox : public QComboBox {
 protected:
  void wheelEvent(QWheelEvent* e) override { e->ignore(); }

  void keyPressEvent(QKeyEvent* e) override {
    const bool alt = e->modifiers() & Qt::AltModifier;
    switch (e->key()) {
      case Qt::Key_Space:
        showPopup();
        return;
      case Qt::Key_F4:
        if (e->modifiers() == Qt::NoModifier) showPopup();
        return;
      case Qt::Key_Up:
      case Qt::Key_Down:
        if (alt) showPopup();
        return;
      case Qt::Key_PageUp:
      case Qt::Key_PageDown:
      case Qt::Key_Home:
      case Qt::Key_End:
        return;
      default:
        break;
    }
    // Typed letters would pick the row they start; other keys (Return for the default
    // button, Escape) go on to the window as before.
    if (!e->text().isEmpty() && e->text().at(0).isPrint()) return;
    QComboBox::keyPressEvent(e);
  }
};

}  // namespace

void PopupMenu::Constructor() {
  auto* c = new ChoiceOnlyComboBox;
  Adopt(c);
  QObject::connect(c, &QComboBox::currentIndexChanged, c, [this](int) {
    // Changes made from code raise Change themselves; this is the user's choice.
    if (settingFromCode_) return;
    Dispatch([this] { RaiseChange(); });
  });
}

void PopupMenu::ApplyOwnDesign(const Design& d) {
  DeleteAllRows();
  for (const auto& row : d.InitialValue) AddRow(row);
  // Design values are assigned while no handler is bound, so this raises nothing.
  auto* c = static_cast<QComboBox*>(widget_);
  QSignalBlocker block(c);
  c->setCurrentIndex(d.ListIndex < c->count() ? d.ListIndex : -1);
}

void PopupMenu::AddRow(const std::string& text) {
  auto* c = static_cast<QComboBox*>(widget_);
  QSignalBlocker block(c);
  int keep = c->currentIndex();
  c->addItem(Shown(text));
  // Adding a row selects nothing by itself.
  c->setCurrentIndex(keep);
}

void PopupMenu::DeleteAllRows() {
  auto* c = static_cast<QComboBox*>(widget_);
  QSignalBlocker block(c);
  c->clear();
}

int PopupMenu::ListCount() const { return static_cast<QComboBox*>(widget_)->count(); }

std::string PopupMenu::List(int row) const {
  return Bytes(static_cast<QComboBox*>(widget_)->itemText(row));
}

int PopupMenu::ListIndex() const { return static_cast<QComboBox*>(widget_)->currentIndex(); }

void PopupMenu::SetListIndex(int index) {
  auto* c = static_cast<QComboBox*>(widget_);
  settingFromCode_ = true;
  c->setCurrentIndex(index >= 0 && index < c->count() ? index : -1);
  settingFromCode_ = false;
  RaiseChange();
}

void PopupMenu::RaiseChange() {
  if (Change) Change(this);
}

void PopupMenu::RaiseOpen() {
  if (Open) Open(this);
}

// --- ProgressBar ---
void ProgressBar::Constructor() {
  auto* p = new PlainProgressBar;
  p->setTextVisible(false);
  Adopt(p);
}

void ProgressBar::ApplyOwnDesign(const Design& d) {
  value_ = d.Value;
  maximum_ = d.Maximum;
  Show();
}

void ProgressBar::SetValue(int value) {
  value_ = value;
  Show();
}

void ProgressBar::SetMaximum(int maximum) {
  maximum_ = maximum;
  Show();
}

// A maximum of 0 shows the busy bar; past the maximum the bar stays full.
void ProgressBar::Show() {
  const int maximum = std::max(maximum_, 0);
  static_cast<PlainProgressBar*>(widget_)->Set(maximum, std::clamp(value_, 0, maximum));
}

// --- Line ---
void Line::Constructor() {
  auto* w = new LineWidget;
  w->setAttribute(Qt::WA_TransparentForMouseEvents);
  w->setFocusPolicy(Qt::NoFocus);
  Adopt(w);
}

void Line::ApplyOwnDesign(const Design& d) {
  auto* w = static_cast<LineWidget*>(widget_);
  w->from = QPoint(d.X1 - std::min(d.X1, d.X2), d.Y1 - std::min(d.Y1, d.Y2));
  w->to = QPoint(d.X2 - std::min(d.X1, d.X2), d.Y2 - std::min(d.Y1, d.Y2));
  w->color = QColor(d.LineColor.Red, d.LineColor.Green, d.LineColor.Blue);
  w->width = std::max(d.BorderWidth, 1);
}

void Line::Relayout(int dw, int dh) {
  // The widget covers the line's end points, whatever its rectangle says.
  if (!widget_) return;
  int pen = std::max(d_.BorderWidth, 1);
  widget_->setGeometry(std::min(d_.X1, d_.X2), std::min(d_.Y1, d_.Y2),
                       std::abs(d_.X2 - d_.X1) + pen, std::abs(d_.Y2 - d_.Y1) + pen);
}

}  // namespace framework
