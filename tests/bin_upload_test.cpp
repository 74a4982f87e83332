// The .bin FPGA image upload through the real program: the launcher, the worker, the serial
// port and the simulated instrument, which checks every page against the file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QProgressBar>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "framework/strings.h"
#include "tests/support/instrument_sim.h"
#include "tests/support/program_fixture.h"
#include "tests/support/program_harness.h"
#include "tests/support/srec_fixtures.h"
#include "tests/support/upload_framings.h"
#include "window/window1.h"

using namespace harness;
using testsupport::BinFraming;
using testsupport::InstrumentSim;
using testsupport::Plan;
using testsupport::Stage;
using testsupport::Then;

namespace {

using ThreadState = framework::Thread::ThreadState;

const std::string kOK = "OK\r\n";

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

std::string Chars(std::size_t n, char c) { return std::string(n, c); }

// What the program must send for an image, page by page, between "FPGAFile" and "FPGADone".
std::string WireOf(const std::string& image) { return "FPGAFile\r" + testsupport::PagesWire(image) + "FPGADone\r"; }

class BinUploadTest : public testsupport::ProgramOnSimTest {
 protected:
  // Chooses the file in the dialog of "Select/Send .bin File".
  void Press(const std::string& path) {
    seen->nextFile = path;
    Click(w->ConfigPB()->Widget());
  }
  bool Running() const { return w->SendConfigFile1()->State() != ThreadState::NotRunning; }
  ::testing::AssertionResult RunToEnd(std::chrono::milliseconds limit = 20s) {
    return RunUntilOrTell([&] { return !Running(); }, limit, "the upload did not end");
  }
  // The closing command is the one send that no answer follows: the worker may have ended
  // before the instrument has read it.
  ::testing::AssertionResult RunToDone(const BinFraming& framing, std::chrono::milliseconds limit = 20s) {
    ::testing::AssertionResult ended = RunToEnd(limit);
    if (!ended) return ended;
    return RunUntilOrTell([&] { return framing.Done(); }, 5s, "FPGADone did not arrive");
  }
  std::string Text(framework::Label* label) const { return label->Text(); }
};

// --- whole uploads of small files ---

struct SmallImage {
  const char* name;
  std::string data;
  const char* pageNumText;   // at the end
  const char* checksumText;  // at the end
};

void PrintTo(const SmallImage& c, std::ostream* os) { *os << c.name; }

class BinSmallImageTest : public BinUploadTest, public ::testing::WithParamInterface<SmallImage> {};

TEST_P(BinSmallImageTest, SendsEveryPageFramedAndEndsWithFPGADone) {
  const SmallImage& c = GetParam();
  BinFraming framing(sim, c.data);
  Press(dir.Write("image.bin", c.data));
  ASSERT_TRUE(RunToDone(framing));
  RunFor(50ms);
  EXPECT_TRUE(framing.Errors().empty()) << ::testing::PrintToString(framing.Errors());
  EXPECT_TRUE(sim.Received() == WireOf(c.data)) << ::testing::PrintToString(sim.Received());
  EXPECT_TRUE(framing.Image() == c.data);
  EXPECT_EQ(Text(w->PageNumText()), c.pageNumText);
  EXPECT_EQ(Text(w->ChecksumText()), c.checksumText);
  EXPECT_EQ(Text(w->RepeatPageText()), "0");
  EXPECT_EQ(Text(w->StatusText()), ".bin File Load Done");
  EXPECT_EQ(Text(w->Bin_Status()), ".bin File Load Done");
  EXPECT_EQ(w->ProgressBar1()->Value(), 0);
  EXPECT_EQ(w->ProgressBar1()->Maximum(), 2665);
}

std::string Image257() {
  std::string s = testsupport::PatternBytes(256, 7);
  s.push_back('\x5A');
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Images, BinSmallImageTest,
    ::testing::Values(
        // No page at all: the counters stay empty.
        SmallImage{"Empty", "", "", ""},
        SmallImage{"OneByte41", Bytes({0x41}), "0", "65"},
        SmallImage{"OneByteZero", Bytes({0x00}), "0", "0"},
        SmallImage{"Abc", "abc", "0", "38"},
        // Exactly one full page: information 00 FF, no second page.
        SmallImage{"Exactly256Bytes", Chars(256, '\xFF'), "0", "0"},
        // A full page and a one-byte page: information 00 FF, then 01 00.
        SmallImage{"Bytes257", Image257(), "1", "90"},
        // Line-end and zero bytes go out unchanged inside the block.
        SmallImage{"LineEndAndZeroBytes", Bytes({0x0D, 0x0A, 0x00, 0x0D, 0x0D, 0x0A}), "0", "59"}),
    [](const ::testing::TestParamInfo<SmallImage>& info) { return std::string(info.param.name); });

// --- page numbers ---

TEST_F(BinUploadTest, The257thPageShows256WhileItsPageByteIsZero) {
  const std::string image = testsupport::PatternBytes(256 * 256 + 3, 3);
  BinFraming framing(sim, image);
  framing.Script(Stage::Header, 256, Plan::Silence());
  Press(dir.Write("image.bin", image));
  ASSERT_TRUE(RunUntil([&] { return framing.Saw(Stage::Header, 256); }, 30s));
  EXPECT_EQ(Text(w->PageNumText()), "256");
  EXPECT_EQ(w->ProgressBar1()->Value(), 256);
  EXPECT_EQ(Text(w->ChecksumText()), framework::Str(testsupport::Sum8(image.substr(256 * 256))));
  sim.Send(kOK);
  ASSERT_TRUE(RunToEnd());
  std::vector<testsupport::ReceivedPage> pages = framing.Pages();
  ASSERT_EQ(pages.size(), 257u);
  EXPECT_EQ(pages[255].pageByte, 0xFF);
  EXPECT_EQ(pages[256].pageByte, 0x00);
  EXPECT_EQ(pages[256].lastIndex, 2);
  EXPECT_TRUE(framing.Errors().empty()) << ::testing::PrintToString(framing.Errors());
  EXPECT_TRUE(framing.Image() == image);
}

// A sparse file of 65,537 pages: page 65,536 is numbered 0 again.
TEST_F(BinUploadTest, ThePageNumberWrapsFrom65535ToZero) {
  const std::size_t size = 65537 * 256;
  const std::string path = dir.Write("image.bin", "");
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0);
  BinFraming framing(sim, std::string(size, '\0'));
  framing.Script(Stage::Header, 65535, Plan::Silence());
  framing.Script(Stage::Header, 65536, Plan::Silence());
  Press(path);
  ASSERT_TRUE(RunUntilOrTell([&] { return framing.Saw(Stage::Header, 65535); }, 400s, "page 65535 did not come"));
  EXPECT_EQ(Text(w->PageNumText()), "65535");
  sim.Send(kOK);
  ASSERT_TRUE(RunUntil([&] { return framing.Saw(Stage::Header, 65536); }));
  EXPECT_EQ(Text(w->PageNumText()), "0");
  sim.Send(kOK);
  ASSERT_TRUE(RunToDone(framing, 60s));
  const std::vector<testsupport::ReceivedPage> pages = framing.Pages();
  ASSERT_EQ(pages.size(), 65537u);
  EXPECT_EQ(pages[65535].pageByte, 0xFF);
  EXPECT_EQ(pages[65536].pageByte, 0x00);
  EXPECT_EQ(pages[65536].lastIndex, 0xFF);
  EXPECT_TRUE(framing.Errors().empty()) << ::testing::PrintToString(framing.Errors());
}

// --- resends ---

TEST_F(BinUploadTest, RpOkSendsThePageAgainInFullFromItsHeader) {
  const std::string image = testsupport::PatternBytes(7 * 256 + 100, 5);
  BinFraming framing(sim, image);
  framing.Script(Stage::Data, 5, "RP OK");
  framing.Script(Stage::Header, 5, "OK");
  framing.Script(Stage::Header, 5, Plan::Silence());  // the second sending of page 5 waits
  Press(dir.Write("image.bin", image));
  ASSERT_TRUE(RunUntil([&] { return framing.Times(Stage::Header, 5) == 2; }));
  EXPECT_EQ(Text(w->RepeatPageText()), "1");
  EXPECT_EQ(Text(w->PageNumText()), "5");
  EXPECT_EQ(w->ProgressBar1()->Value(), 5);
  sim.Send(kOK);
  ASSERT_TRUE(RunToEnd());

  // Header, information and data of page 5, twice, and nothing else in between.
  std::vector<std::pair<Stage, unsigned>> order;
  for (const auto& e : framing.Events()) order.emplace_back(e.stage, e.number);
  const std::vector<std::pair<Stage, unsigned>> around5 = {
      {Stage::Data, 4},        {Stage::Header, 5}, {Stage::Information, 5}, {Stage::Data, 5},
      {Stage::Header, 5},      {Stage::Information, 5}, {Stage::Data, 5}, {Stage::Header, 6}};
  EXPECT_NE(std::search(order.begin(), order.end(), around5.begin(), around5.end()), order.end());
  std::vector<testsupport::ReceivedPage> pages = framing.Pages();
  ASSERT_EQ(pages.size(), 9u);
  EXPECT_EQ(pages[5].page, 5u);
  EXPECT_EQ(pages[6].page, 5u);
  EXPECT_TRUE(pages[5].data == pages[6].data);
  EXPECT_EQ(pages[5].sum, pages[6].sum);
  EXPECT_EQ(pages[6].pageByte, 5);
  EXPECT_TRUE(framing.Errors().empty()) << ::testing::PrintToString(framing.Errors());
  EXPECT_TRUE(framing.Image() == image);
  EXPECT_EQ(Text(w->RepeatPageText()), "1");
  EXPECT_EQ(Text(w->PageNumText()), "7");
}

TEST_F(BinUploadTest, EveryResendOfTheRunIsCounted) {
  const std::string image = testsupport::PatternBytes(3 * 256, 9);
  BinFraming framing(sim, image);
  for (unsigned page : {0u, 0u, 2u}) framing.Script(Stage::Data, page, "RP OK");
  Press(dir.Write("image.bin", image));
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(Text(w->RepeatPageText()), "3");
  EXPECT_EQ(framing.Pages().size(), 6u);
  EXPECT_TRUE(framing.Image() == image);
  EXPECT_TRUE(framing.Errors().empty()) << ::testing::PrintToString(framing.Errors());
}

TEST_F(BinUploadTest, ASecondRunStartsFromZeroWithEmptiedCounters) {
  const std::string first = testsupport::PatternBytes(3 * 256, 11);
  const std::string second = testsupport::PatternBytes(2 * 256 + 1, 12);
  BinFraming framing(sim, first);
  framing.Script(Stage::Data, 1, "RP OK");
  Press(dir.Write("first.bin", first));
  ASSERT_TRUE(RunToEnd());
  ASSERT_EQ(Text(w->RepeatPageText()), "1");
  ASSERT_EQ(Text(w->PageNumText()), "2");

  framing.ExpectImage(second);
  framing.SetEraseAnswer(Plan::Silence());
  framing.Script(Stage::Header, 0, Plan::Silence());
  Press(dir.Write("second.bin", second));
  ASSERT_TRUE(RunUntil([&] { return Text(w->StatusText()) == "Erasing .bin ROM"; }));
  EXPECT_EQ(Text(w->PageNumText()), "");
  EXPECT_EQ(Text(w->ChecksumText()), "");
  EXPECT_EQ(Text(w->RepeatPageText()), "1") << "the repeat count is shown only once loading begins";
  sim.Send(kOK);
  ASSERT_TRUE(RunUntil([&] { return framing.Saw(Stage::Header, 0, 1); }));
  EXPECT_EQ(Text(w->RepeatPageText()), "0");
  EXPECT_EQ(Text(w->PageNumText()), "0");
  sim.Send(kOK);
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(framing.Runs(), 2);
  EXPECT_TRUE(framing.Image(1) == second);
  EXPECT_EQ(framing.Pages().back().run, 1);
  EXPECT_EQ(framing.Pages().back().pageByte, 2);
  EXPECT_TRUE(framing.Errors().empty()) << ::testing::PrintToString(framing.Errors());
  EXPECT_EQ(Text(w->RepeatPageText()), "0");
}

// --- files that can't be sent ---

enum class Missing { NoFile, DeletedAfterChoosing, Directory };

const char* NameOf(Missing m) {
  switch (m) {
    case Missing::NoFile:
      return "NoFile";
    case Missing::DeletedAfterChoosing:
      return "DeletedAfterChoosing";
    case Missing::Directory:
      return "Directory";
  }
  return "";
}

void PrintTo(Missing m, std::ostream* os) { *os << NameOf(m); }

class BinMissingFileTest : public BinUploadTest, public ::testing::WithParamInterface<Missing> {};

TEST_P(BinMissingFileTest, ShowsErrorOpeningSendsNothingAndChangesOnlyItsLabels) {
  BinFraming framing(sim, "");
  // What an earlier run left on the displays.
  w->PageNumText()->SetText("12");
  w->ChecksumText()->SetText("34");
  w->RepeatPageText()->SetText("5");
  w->StatusText()->SetText("earlier");
  w->Bin_Status()->SetText("bin earlier");
  w->Kesmar_Status()->SetText("gen earlier");
  w->ANZ_Status()->SetText("anz earlier");
  w->ProgressBar1()->SetMaximum(2665);
  w->ProgressBar1()->SetValue(77);

  const std::string path = dir.Write("gone.bin", "abc");
  switch (GetParam()) {
    case Missing::NoFile:
      w->f = nullptr;
      w->SendConfigFile1()->Run();
      break;
    case Missing::DeletedAfterChoosing:
      framework::testing::SetOpenFileDialog([&](const std::string&) {
        std::remove(path.c_str());
        return std::optional<std::string>(path);
      });
      Click(w->ConfigPB()->Widget());
      break;
    case Missing::Directory:
      Press(dir.Path());
      break;
  }
  ASSERT_TRUE(Running());
  ASSERT_TRUE(RunToEnd());
  RunFor(100ms);
  EXPECT_EQ(sim.ReceivedCount(), 0u);
  EXPECT_EQ(Text(w->StatusText()), "Error Opening .bin File");
  EXPECT_EQ(Text(w->Bin_Status()), "");
  EXPECT_EQ(Text(w->PageNumText()), "12");
  EXPECT_EQ(Text(w->ChecksumText()), "34");
  EXPECT_EQ(Text(w->RepeatPageText()), "5");
  EXPECT_EQ(Text(w->Kesmar_Status()), "gen earlier");
  EXPECT_EQ(Text(w->ANZ_Status()), "anz earlier");
  EXPECT_EQ(w->ProgressBar1()->Maximum(), 2665);
  EXPECT_EQ(w->ProgressBar1()->Value(), 77);
}

INSTANTIATE_TEST_SUITE_P(Files, BinMissingFileTest,
                         ::testing::Values(Missing::NoFile, Missing::DeletedAfterChoosing, Missing::Directory),
                         [](const ::testing::TestParamInfo<Missing>& info) { return std::string(NameOf(info.param)); });

// --- the reply waits ---

TEST_F(BinUploadTest, AnOkInReplyBeforeTheEraseDoesNotEndTheEraseWaitAndTheBarIsIndeterminate) {
  const std::string image = testsupport::PatternBytes(300, 13);
  BinFraming framing(sim, image);
  framing.SetEraseAnswer(Plan::Silence());  // a slow erase, ended by the test
  w->Reply = kOK;
  Press(dir.Write("image.bin", image));
  ASSERT_TRUE(RunUntil([&] { return framing.Saw(Stage::Erase, 0); }));
  RunFor(300ms);
  EXPECT_EQ(framing.Count(Stage::Header), 0u) << "the stale OK ended the erase wait";
  EXPECT_EQ(w->Reply, "");
  EXPECT_EQ(Text(w->StatusText()), "Erasing .bin ROM");
  EXPECT_EQ(w->ProgressBar1()->Maximum(), 0);
  auto* bar = static_cast<QProgressBar*>(w->ProgressBar1()->Widget());
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 0) << "the bar is not shown busy";
  EXPECT_EQ(Text(w->Bin_Status()), "");

  sim.Send(kOK);
  ASSERT_TRUE(RunUntil([&] { return framing.Count(Stage::Header) > 0; }));
  EXPECT_EQ(w->ProgressBar1()->Maximum(), 2665);
  EXPECT_EQ(bar->maximum(), 2665);
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(Text(w->Bin_Status()), ".bin File Load Done");
  EXPECT_TRUE(framing.Image() == image);
}

TEST_F(BinUploadTest, TheLoadingTextsAndRepeatCountShowOnceTheEraseIsDone) {
  const std::string image = "abc";  // Sum8 38
  BinFraming framing(sim, image);
  framing.Script(Stage::Header, 0, Plan::Silence());
  w->RepeatPageText()->SetText("9");
  Press(dir.Write("image.bin", image));
  ASSERT_TRUE(RunUntil([&] { return framing.Saw(Stage::Header, 0); }));
  EXPECT_EQ(Text(w->StatusText()), "Loading .bin File");
  EXPECT_EQ(Text(w->Bin_Status()), "Loading .bin File ");
  EXPECT_EQ(Text(w->RepeatPageText()), "0");
  EXPECT_EQ(Text(w->ChecksumText()), "38");
  sim.Send(kOK);
  ASSERT_TRUE(RunToEnd());
}

struct ForeignReply {
  const char* name;
  Stage stage;
  const char* reply;
};

void PrintTo(const ForeignReply& c, std::ostream* os) { *os << c.name; }

class BinForeignReplyTest : public BinUploadTest, public ::testing::WithParamInterface<ForeignReply> {};

// A reply the wait does not expect leaves the worker waiting; the next OK lets it go on.
TEST_P(BinForeignReplyTest, DoesNotEndTheWait) {
  const ForeignReply& c = GetParam();
  const std::string image = testsupport::PatternBytes(2 * 256, 15);
  BinFraming framing(sim, image);
  framing.Script(c.stage, 0, Plan::Lines({c.reply}), Then::Next);
  Press(dir.Write("image.bin", image));
  const std::string line = std::string(c.reply) + "\r\n";
  ASSERT_TRUE(RunUntil([&] { return w->Reply == line; }));
  const std::size_t before = sim.ReceivedCount();
  RunFor(300ms);
  EXPECT_EQ(sim.ReceivedCount(), before) << "the worker went on after \"" << c.reply << "\"";
  EXPECT_TRUE(Running());
  EXPECT_EQ(Text(w->RepeatPageText()), "0");
  sim.Send(kOK);
  ASSERT_TRUE(RunToEnd());
  EXPECT_TRUE(framing.Errors().empty()) << ::testing::PrintToString(framing.Errors());
  EXPECT_TRUE(framing.Image() == image);
  EXPECT_EQ(framing.Pages().size(), 2u) << "no page was sent again";
  EXPECT_EQ(Text(w->RepeatPageText()), "0");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, BinForeignReplyTest,
    ::testing::Values(ForeignReply{"RpOkInHeaderWait", Stage::Header, "RP OK"},
                      ForeignReply{"RpOkInInformationWait", Stage::Information, "RP OK"},
                      ForeignReply{"ErOkInDataWait", Stage::Data, "ER OK"},
                      ForeignReply{"OtherTextInDataWait", Stage::Data, "BUSY"}),
    [](const ::testing::TestParamInfo<ForeignReply>& info) { return std::string(info.param.name); });

// --- a full-size image ---

TEST_F(BinUploadTest, AFullSizeImageArrivesByteIdenticalWhileTheWindowStaysResponsive) {
  const std::string image = testsupport::PatternBytes(2665 * 256, 17);
  BinFraming framing(sim, image);
  Press(dir.Write("full.bin", image));
  ASSERT_TRUE(RunUntil([&] { return framing.Saw(Stage::Header, 100); }, 60s));

  // A key typed into the command line is handled while the pages stream.
  QWidget* line = w->TxText()->Widget();
  QCoreApplication::postEvent(line, new QKeyEvent(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "x"));
  QCoreApplication::postEvent(line, new QKeyEvent(QEvent::KeyRelease, Qt::Key_X, Qt::NoModifier, "x"));
  ASSERT_TRUE(RunUntil([&] { return w->TxText()->Text() == "x"; }));
  EXPECT_FALSE(framing.Done()) << "the key press waited for the upload's end";
  EXPECT_TRUE(Running());

  ASSERT_TRUE(RunToDone(framing, 180s));
  EXPECT_TRUE(framing.Errors().empty()) << ::testing::PrintToString(framing.Errors());
  EXPECT_EQ(framing.Pages().size(), 2665u);
  EXPECT_TRUE(framing.Image() == image) << "the image arrived changed";
  EXPECT_EQ(Text(w->PageNumText()), "2664");
  EXPECT_EQ(Text(w->StatusText()), ".bin File Load Done");
  EXPECT_EQ(w->ProgressBar1()->Value(), 0);
}

}  // namespace
