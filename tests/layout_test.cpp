// The main window as laid out: captions, frames, flags and keyboard order.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>

#include "tests/support/program_harness.h"
#include "window/window1.h"

using namespace harness;

namespace {

class LayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallSeams();
    w = Start({});
  }
  void TearDown() override { framework::testing::StopProgram(); }
  framework::RectControl* Rect(const char* name) {
    return dynamic_cast<framework::RectControl*>(w->ControlByName_(name));
  }
  Window1_* w = nullptr;
};

TEST_F(LayoutTest, CaptionsStandExactlyAsDesigned) {
  struct Caption {
    const char* control;
    const char* text;
  };
  // Doubled blanks, the trailing blank of step 1 and the doubled ampersand are kept.
  const Caption kCaptions[] = {
      {"Checksum_Label12", "1. "},
      {"Checksum_Label1", "2.  Wait until top 3 Group LEDs are illuminated"},
      {"Checksum_Label122", "4.  Wait until .gen load is done && LED's recycle to normal state"},
      {"Checksum_Label1221", "6.  Wait until .anz load and ANZ Configuration Complete"},
      {"Checksum_Label11", "8.  Wait until .bin load is done, then restart the Vantrel-9"},
      {"BaudRateChange_Label", "Use Vantrel-9 115200 Baud Rate Only.  To change:"},
      {"TypeCommand_Label", "Type Vantrel-9 Command  (followed by Return):"},
      {"PageNumber_Label11", "Verify Connection:"},
      {"PageNumber_Label1112", "Establish USB Connection"},
      {"PageNumber_Label11121", "Update Vantrel-9"},
  };
  for (const Caption& c : kCaptions) {
    auto* label = framework::ControlCast<framework::Label>(w->ControlByName_(c.control));
    ASSERT_NE(label, nullptr) << c.control;
    EXPECT_EQ(label->Text(), c.text) << c.control;
  }
  // On screen the doubled ampersand is one.
  EXPECT_EQ(static_cast<QLabel*>(w->Checksum_Label122()->Widget())->text(),
            QStringLiteral("4.  Wait until .gen load is done & LED's recycle to normal state"));
  EXPECT_EQ(w->ConnectPB()->Caption(), "Reconnect After Power-up Restarts");
  EXPECT_EQ(w->VersionPB1()->Caption(), "Gen ID #");
}

TEST_F(LayoutTest, WindowIsFixedAtItsDesignSizeWithMinimiseOnly) {
  EXPECT_EQ(w->ContentArea()->size(), QSize(750, 572));
  EXPECT_EQ(w->ContentArea()->minimumSize(), QSize(750, 572));
  EXPECT_EQ(w->ContentArea()->maximumSize(), QSize(750, 572));
  Qt::WindowFlags flags = w->Widget()->windowFlags();
  EXPECT_FALSE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  // Closing it from its frame does nothing.
  EXPECT_FALSE(w->Widget()->close());
  EXPECT_TRUE(w->Widget()->isVisible());
  EXPECT_FALSE(w->IsClosed());
}

TEST_F(LayoutTest, ControlsSitAtTheirDesignFrames) {
  EXPECT_EQ(w->PortPopup()->Widget()->geometry(), QRect(157, 49, 188, 20));
  EXPECT_EQ(w->RxText()->Widget()->geometry(), QRect(30, 475, 315, 42));
  EXPECT_EQ(w->ProgressBar1()->Widget()->geometry(), QRect(405, 67, 318, 20));
  // The frames that reach past the divider or the window's edge stand as listed.
  EXPECT_EQ(w->Checksum_Label1221()->Widget()->geometry(), QRect(405, 290, 351, 20));
  // The divider runs from (375, 25) to (375, 547).
  QRect line = w->Line1()->Widget()->geometry();
  EXPECT_EQ(line.left(), 375);
  EXPECT_EQ(line.top(), 25);
  EXPECT_EQ(line.bottom(), 547);
  EXPECT_EQ(w->Line1()->X1(), 375);
  EXPECT_EQ(w->Line1()->Y2(), 547);
}

TEST_F(LayoutTest, BaudListIsHiddenAndDisabledAtRow115200) {
  EXPECT_FALSE(w->BaudPopup()->Widget()->isVisible());
  EXPECT_FALSE(w->BaudPopup()->Widget()->isEnabled());
  EXPECT_EQ(w->BaudPopup()->ListCount(), 5);
  EXPECT_EQ(w->Serial1()->Baud(), framework::Serial::Baud115200);
}

TEST_F(LayoutTest, SevenButtonsAreCancelButtonsAndNoneIsDefault) {
  int cancel = 0;
  for (int i = 0; i < w->ControlCount(); ++i)
    if (auto* b = dynamic_cast<framework::PushButton*>(w->ControlAt(i))) {
      EXPECT_FALSE(b->Default()) << b->Name();
      if (b->Cancel()) ++cancel;
    }
  EXPECT_EQ(cancel, 7);
  EXPECT_FALSE(w->ConnectPB()->Cancel());
}

TEST_F(LayoutTest, SmallCaptionsUseTheSmallerSize) {
  const char* kSmall[] = {"BaudRateChange_Label", "Checksum_Label1", "Checksum_Label11",
                          "Checksum_Label12", "Checksum_Label121", "Checksum_Label1211",
                          "PageNumber_Label1111", "Checksum_Label122", "PageNumber_Label111111",
                          "Bin_Status", "Checksum_Label1213", "Kesmar_Status", "ANZ_Status",
                          "Checksum_Label1221"};
  int small = 0;
  for (int i = 0; i < w->ControlCount(); ++i)
    if (auto* r = dynamic_cast<framework::RectControl*>(w->ControlAt(i)))
      if (r->TextSize() == 10) ++small;
  EXPECT_EQ(small, 14);
  int defaultPixels = w->SerialPort_Label()->Widget()->font().pixelSize();
  for (const char* name : kSmall) {
    EXPECT_EQ(Rect(name)->TextSize(), 10) << name;
    EXPECT_LT(Rect(name)->Widget()->font().pixelSize(), defaultPixels) << name;
  }
  EXPECT_TRUE(w->PageNumber_Label1112()->Widget()->font().bold());
  EXPECT_FALSE(w->StatusText()->Widget()->font().bold());
}

TEST_F(LayoutTest, EveryCaptionFitsItsFrame) {
  for (int i = 0; i < w->ControlCount(); ++i) {
    auto* r = dynamic_cast<framework::RectControl*>(w->ControlAt(i));
    if (!r || !r->Widget() || !r->Visible()) continue;
    QString text;
    if (auto* l = qobject_cast<QLabel*>(r->Widget())) text = l->text();
    else if (auto* b = qobject_cast<QPushButton*>(r->Widget())) text = b->text().replace("&&", "&");
    else continue;
    if (text.isEmpty()) continue;
    QFontMetrics m(r->Widget()->font());
    int room = r->Width() - (qobject_cast<QPushButton*>(r->Widget()) ? 8 : 0);
    EXPECT_LE(m.horizontalAdvance(text), room) << r->Name();
    EXPECT_LE(m.height(), r->Height()) << r->Name();
  }
}

TEST_F(LayoutTest, KeyboardFocusFollowsTheTabIndexes) {
  const char* kOrder[] = {"PortPopup", "TxText", "RxText", "ConnectPB", "ConfigPB",
                          "BootloaderPB", "GenVersionPB", "VersionPB1", "LoadAnzCodePB",
                          "LoadGenCodePB", "AnzVersionPB"};
  for (std::size_t i = 1; i < std::size(kOrder); ++i) {
    QWidget* from = Rect(kOrder[i - 1])->Widget();
    QWidget* next = from->nextInFocusChain();
    // Skip what cannot take focus (labels, the hidden baud list).
    while (next && (!next->isVisible() || next->focusPolicy() == Qt::NoFocus ||
                    !next->isEnabled() || next->parentWidget() != from->parentWidget()))
      next = next->nextInFocusChain();
    EXPECT_EQ(next, Rect(kOrder[i])->Widget()) << "after " << kOrder[i - 1];
  }
}

}  // namespace
