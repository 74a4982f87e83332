// The visual controls on Qt widgets.
#include <QAbstractAnimation>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStringDecoder>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <QTextDocument>
#include <QValidator>
#include <QWheelEvent>

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

// A one-line field holds one line: each line break pasted or dropped into it (CR LF, CR or
// LF) becomes one blank, so that a pasted text goes out as one command.
class OneLine : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    if (input.contains(QChar('\r')) || input.contains(QChar('\n'))) {
      input.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
      input.replace(QChar('\r'), QChar(' '));
      input.replace(QChar('\n'), QChar(' '));
    }
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

// A progress bar that keeps the picture it painted last and paints it again while nothing
// it shows has changed. An upload redraws the bar at once for every page or record, and a
// Fusion bar costs some 180 us to draw, more than the rest of a record's work, 160 us of it
// for the empty groove alone (anti-aliased rounded frames and gradients, Qt's threaded span
// fills); yet a value that moves by one of 2665 changes the filled width only every eighth
// page or so, and the groove never changes during an upload. So the bar keeps its last
// picture and, with the Fusion style, its groove: a redraw with the same look paints the
// kept picture (some 7 us), a new filled width draws only the contents over the kept groove
// (some 25 us). A busy bar, which Qt animates at 60 frames a second (some 300 us a frame),
// keeps the 22 frames that its animation cycles through. Each redraw still paints the bar at
// once, with the pixels a fresh drawing gives.
//
// The pictures are drawn on the bar's own window colour and painted opaque, exactly as the
// style's drawing on the window background comes out; where the window colour is no plain
// colour, the bar is drawn by Qt as usual.
class KeptProgressBar : public QProgressBar {
 public:
  KeptProgressBar() { FollowBackdrop(); }

  // QProgressBar::setValue repaints the bar itself, at once, when it judges the change
  // visible; here a control is painted at once only by Refresh(true), so setValue is kept
  // from painting and the new value waits for the next redraw.
  void SetValueQuietly(int value) {
    const bool wasOff = testAttribute(Qt::WA_UpdatesDisabled);
    setAttribute(Qt::WA_UpdatesDisabled, true);
    setValue(value);
    setAttribute(Qt::WA_UpdatesDisabled, wasOff);
    update();
  }

  // Fusion animates a busy bar and stops the animation only when it next draws a bar that
  // has made a start; a bar that turns determinate and empty, as at the first page of every
  // upload, would be repainted unchanged 60 times a second for as long as it stays so.
  void EndBusyAnimation() { delete BusyAnimation(); }

 protected:
  void changeEvent(QEvent* e) override {
    if (e->type() == QEvent::PaletteChange || e->type() == QEvent::StyleChange) FollowBackdrop();
    QProgressBar::changeEvent(e);
  }

  void paintEvent(QPaintEvent* e) override {
    if (!opaque_) {
      QProgressBar::paintEvent(e);
      return;
    }
    QStyleOptionProgressBar option;
    initStyleOption(&option);
    const Look look = LookOf(option);
    // A busy bar is animated by the style; Fusion's animation repeats its frames, which are
    // kept one for each step, and any other is drawn afresh every time.
    const bool busy = option.minimum == 0 && option.maximum == 0;
    QPixmap* kept = &kept_;
    Look* keptLook = &keptLook_;
    if (busy && look.phase >= 0) {
      kept = &busyFrames_[look.phase];
      keptLook = &busyLooks_[look.phase];
    }
    if ((busy && look.phase < 0) || kept->isNull() || !(look == *keptLook)) {
      *kept = Draw(option, look);
      *keptLook = look;
    }
    QPainter p(this);
    p.drawPixmap(0, 0, *kept);
  }

 private:
  struct Look;

  QPixmap Draw(const QStyleOptionProgressBar& option, const Look& look) {
    QPixmap picture;
    if (look.fusion) {
      // Fusion draws a bar as its groove, then its contents (no label: no text shown).
      Look grooveLook = look;
      grooveLook.progress = 0;
      grooveLook.started = grooveLook.complete = false;
      grooveLook.phase = -1;
      if (groove_.isNull() || !(grooveLook == grooveLook_)) {
        groove_ = Backdrop();
        QStyleOptionProgressBar part = option;
        part.rect = style()->subElementRect(QStyle::SE_ProgressBarGroove, &option, this);
        QPainter p(&groove_);
        Prepare(p);
        style()->drawControl(QStyle::CE_ProgressBarGroove, &part, &p, this);
        grooveLook_ = grooveLook;
      }
      picture = groove_.copy();
      QStyleOptionProgressBar part = option;
      part.rect = style()->subElementRect(QStyle::SE_ProgressBarContents, &option, this);
      QPainter p(&picture);
      Prepare(p);
      style()->drawControl(QStyle::CE_ProgressBarContents, &part, &p, this);
    } else {
      picture = Backdrop();
      QPainter p(&picture);
      Prepare(p);
      style()->drawControl(QStyle::CE_ProgressBar, &option, &p, this);
    }
    return picture;
  }

  // Fusion's busy bar moves one step every 1/60 s, counted by the style's animation (a child
  // of the bar), and its stripes, 22 pixels apart, repeat every 22 steps.
  static constexpr double kFusionBusyStepsPerSecond = 60;
  static constexpr int kFusionBusySteps = 22;

  QAbstractAnimation* BusyAnimation() const {
    for (QAbstractAnimation* a : findChildren<QAbstractAnimation*>(Qt::FindDirectChildrenOnly))
      if (qstrcmp(a->metaObject()->className(), "QProgressStyleAnimation") == 0) return a;
    return nullptr;
  }

  // Everything the picture depends on.
  struct Look {
    QSize size;
    qreal ratio = 0;
    const QStyle* style = nullptr;
    qint64 palette = 0;
    QStyle::State state;
    int minimum = 0, maximum = 0;
    Qt::Orientation orientation = Qt::Horizontal;
    bool inverted = false, textVisible = false;
    Qt::LayoutDirection direction = Qt::LeftToRight;
    QString text;
    // The progress as the style draws it: the value itself, or for the Fusion style the
    // width its bar fills and whether it shows a start and a full bar.
    qint64 progress = 0;
    bool started = false, complete = false;
    bool fusion = false;
    int phase = -1;  // a busy Fusion bar's step in its cycle; -1: none known
    bool operator==(const Look&) const = default;
  };

  // The bar's rectangle in its window colour, at the screen's pixel ratio.
  QPixmap Backdrop() const {
    const qreal ratio = devicePixelRatioF();
    QPixmap pixmap(size() * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(palette().color(QPalette::Window));
    return pixmap;
  }
  // What a painter begun on the widget itself starts with.
  void Prepare(QPainter& p) const {
    p.setFont(font());
    p.setPen(QPen(palette().brush(foregroundRole()), 1));
    p.setBackground(palette().brush(backgroundRole()));
  }

  Look LookOf(const QStyleOptionProgressBar& o) const {
    Look l;
    l.size = size();
    l.ratio = devicePixelRatioF();
    l.style = style();
    l.palette = palette().cacheKey();
    l.state = o.state;
    l.minimum = o.minimum;
    l.maximum = o.maximum;
    l.orientation = (o.state & QStyle::State_Horizontal) ? Qt::Horizontal : Qt::Vertical;
    l.inverted = o.invertedAppearance;
    l.textVisible = o.textVisible;
    l.direction = o.direction;
    if (o.textVisible) l.text = o.text;
    l.started = o.progress > o.minimum;
    l.complete = o.progress == o.maximum;
    l.progress = o.progress;
    l.fusion = l.orientation == Qt::Horizontal && !o.textVisible &&
               style()->name().compare(QLatin1String("fusion"), Qt::CaseInsensitive) == 0;
    if (l.fusion && o.minimum == 0 && o.maximum == 0) {
      if (const QAbstractAnimation* a = BusyAnimation())
        l.phase = static_cast<int>(a->currentTime() / (1000.0 / kFusionBusyStepsPerSecond)) % kFusionBusySteps;
    } else if (l.fusion) {
      // Fusion fills (progress - minimum) * width / (maximum - minimum) pixels of its
      // contents rectangle.
      const int width = style()->subElementRect(QStyle::SE_ProgressBarContents, &o, this).width();
      const qint64 steps = std::max<qint64>(1, qint64(o.maximum) - o.minimum);
      l.progress = (qint64(std::max(o.progress, o.minimum)) - o.minimum) * width / steps;
    }
    return l;
  }

  void FollowBackdrop() {
    opaque_ = palette().brush(QPalette::Window).style() == Qt::SolidPattern;
    setAttribute(Qt::WA_OpaquePaintEvent, opaque_);
    kept_ = groove_ = QPixmap();
    for (QPixmap& frame : busyFrames_) frame = QPixmap();
  }

  bool opaque_ = false;
  QPixmap kept_, groove_;
  Look keptLook_, grooveLook_;
  QPixmap busyFrames_[kFusionBusySteps];
  Look busyLooks_[kFusionBusySteps];
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
  auto* p = new KeptProgressBar;
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

void ProgressBar::Show() {
  auto* p = static_cast<KeptProgressBar*>(widget_);
  if (maximum_ <= 0) {
    p->setRange(0, 0);  // busy: Qt animates it
    return;
  }
  p->setRange(0, maximum_);
  p->EndBusyAnimation();
  // Past the maximum the bar stays full.
  p->SetValueQuietly(std::clamp(value_, 0, maximum_));
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
