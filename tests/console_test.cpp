// The console of the main window (the command line, the fixed commands, the reply area)
// and the hand-off of arriving input to the reply area or to Reply, through the real
// program and its widgets against the simulator.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QEvent>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/paint_counter.h"
#include "tests/support/instrument_sim.h"
#include "tests/support/program_fixture.h"
#include "tests/support/program_harness.h"
#include "window/window1.h"

using namespace harness;
using namespace std::chrono_literals;
using testsupport::InstrumentSim;
using testsupport::Plan;

namespace {

// Line noise: every byte value but CR next to LF, lone CRs and LFs included.
std::string Noise(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) {
    char c = static_cast<char>((i * 131 + i / 977) & 0xff);
    if (c == '\n' && i > 0 && s[i - 1] == '\r') c = 'x';
    s[i] = c;
  }
  if (!s.empty() && s.back() == '\r') s.back() = 'y';  // the case's next bytes may start with LF
  return s;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%s%02X", out.empty() ? "" : " ", c);
    out += b;
  }
  return out;
}

// Key presses in a widget: "\r" Return, "\b" Backspace, "\x1c" Left, any other character itself.
void Press(QWidget* w, const std::string& keys) {
  for (char c : keys) {
    switch (c) {
      case '\r': QTest::keyClick(w, Qt::Key_Return); break;
      case '\b': QTest::keyClick(w, Qt::Key_Backspace); break;
      case '\x1c': QTest::keyClick(w, Qt::Key_Left); break;
      case '\x1b': QTest::keyClick(w, Qt::Key_Escape); break;
      default: QTest::keyClick(w, c); break;
    }
  }
}

class ConsoleTest : public testsupport::ProgramOnSimTest {
 protected:
  void SetUp() override {}  // each case starts with the ports it needs
  void StartWithInstrument() {
    StartWith({{"Vantrel-9", sim.SlavePath()}});
    ASSERT_TRUE(w->Serial1()->IsOpen()) << w->Serial1()->LastErrorText();
  }

  void TypeInCommandLine(const std::string& keys) { Press(w->TxText()->Widget(), keys); }
  ::testing::AssertionResult ReplyShown(const std::string& text) {
    return RunUntilOrTell([&] { return w->RxText()->Text() == text; }, 5s,
                          "the reply area did not show " + ::testing::PrintToString(text));
  }
  // Everything sent so far has arrived; a while later nothing more has.
  std::string ReceivedOnceSettled(std::size_t expected) {
    sim.WaitForBytes(expected, 3000ms);
    RunFor(100ms);
    return sim.Received();
  }
  // Sends unasked bytes and waits until the hand-off has run for them.
  void Arrive(const std::string& bytes) {
    const int before = handoffs;
    sim.Send(bytes);
    RunUntil([&] { return handoffs > before; });
  }
  // One console exchange, so that the reply area shows something of its own.
  void ShowVersionReply() {
    Click(w->GenVersionPB()->Widget());
    ASSERT_TRUE(ReplyShown("GEN V1.00\r\n")) << w->RxText()->Text();
    ASSERT_FALSE(w->GetEntireReply);
    sim.ClearReceived();
  }
};

// --- the command line ---

struct TypingCase {
  const char* name;
  std::string keys;
  std::string sent;
  std::string fieldAfter;
};
void PrintTo(const TypingCase& c, std::ostream* os) { *os << c.name; }

class ConsoleTypingTest : public ConsoleTest, public ::testing::WithParamInterface<TypingCase> {};

TEST_P(ConsoleTypingTest, ReturnSendsTheLineAndCrAloneAndTheNextKeyEmptiesTheSentLine) {
  ASSERT_NO_FATAL_FAILURE(StartWithInstrument());
  TypeInCommandLine(GetParam().keys);
  EXPECT_EQ(Hex(ReceivedOnceSettled(GetParam().sent.size())), Hex(GetParam().sent));
  EXPECT_EQ(w->TxText()->Text(), GetParam().fieldAfter);
  EXPECT_EQ(errors, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ConsoleTypingTest,
    ::testing::Values(
        TypingCase{"CommandAndReturn", "ver?\r", "ver?\r", "ver?"},
        TypingCase{"ReturnOnAnEmptyLine", "\r", "\r", ""},
        TypingCase{"SecondReturnSendsCrAlone", "ver?\r\r", "ver?\r\r", ""},
        TypingCase{"NextCommandStartsOnAnEmptyLine", "ver?\rID?\r", "ver?\rID?\r", "ID?"},
        TypingCase{"TypedLetterStandsAlone", "ver?\rX", "ver?\r", "X"},
        TypingCase{"AnyKeyEmptiesTheSentLine", "ver?\r\x1c", "ver?\r", ""},
        TypingCase{"OnlyTheFirstKeyEmpties", "ver?\rab", "ver?\r", "ab"},
        TypingCase{"EditingKeysTakeTheirOrdinaryEffect", "verr\b?\r", "ver?\r", "ver?"},
        TypingCase{"NoReturnNoSend", "ver?", "", "ver?"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConsoleTest, ReturnEmptiesTheReplyAreaAndShowsTheFirstInputAfterTheSend) {
  ASSERT_NO_FATAL_FAILURE(StartWithInstrument());
  ASSERT_NO_FATAL_FAILURE(ShowVersionReply());
  sim.Script("ID?", Plan::Silence());
  TypeInCommandLine("ID?\r");
  EXPECT_EQ(w->RxText()->Text(), "") << "the area is emptied as the command goes out";
  EXPECT_TRUE(w->GetEntireReply);
  RunFor(200ms);
  EXPECT_EQ(w->RxText()->Text(), "") << "no answer, nothing shown";
  EXPECT_TRUE(w->GetEntireReply) << "the console waits for the next input, however late";
  sim.Send("late\r\n");
  EXPECT_TRUE(ReplyShown("late\r\n")) << w->RxText()->Text();
  EXPECT_FALSE(w->GetEntireReply);
  EXPECT_EQ(w->Reply, "");
}

TEST_F(ConsoleTest, OtherKeysSendNothingAndLeaveTheReplyAndRoutingAlone) {
  ASSERT_NO_FATAL_FAILURE(StartWithInstrument());
  ASSERT_NO_FATAL_FAILURE(ShowVersionReply());
  TypeInCommandLine("x\b\x1c\x1b");
  RunFor(100ms);
  EXPECT_EQ(sim.ReceivedCount(), 0u);
  EXPECT_EQ(w->RxText()->Text(), "GEN V1.00\r\n");
  EXPECT_FALSE(w->GetEntireReply);
}

using testsupport::PaintCounter;

TEST_F(ConsoleTest, TheReplyAreaIsRedrawnAtOnceWhenEmptiedAndWhenShown) {
  ASSERT_NO_FATAL_FAILURE(StartWithInstrument());
  auto* area = static_cast<QPlainTextEdit*>(w->RxText()->Widget());
  PaintCounter paints;
  area->installEventFilter(&paints);
  area->viewport()->installEventFilter(&paints);
  RunFor(100ms);  // the window's first painting is over
  // A paint inside the handler itself is a redraw at once; one left to the event loop is not.
  int paintsInHandOff = -1;
  auto handOff = w->Serial1()->DataAvailable;
  w->Serial1()->DataAvailable = [&](framework::Serial* s) {
    const int before = paints.count;
    handOff(s);
    paintsInHandOff = paints.count - before;
  };
  for (const char* how : {"button", "Return"}) {
    SCOPED_TRACE(how);
    paintsInHandOff = -1;
    const int before = paints.count;
    if (std::string(how) == "button")
      Click(w->GenVersionPB()->Widget());
    else
      TypeInCommandLine("ver?\r");
    EXPECT_GT(paints.count, before) << "the emptied area waited for the event loop";
    EXPECT_TRUE(ReplyShown("GEN V1.00\r\n")) << w->RxText()->Text();
    EXPECT_GT(paintsInHandOff, 0) << "the reply waited for the event loop";
  }
}

// --- the fixed commands ---

struct ButtonCase {
  const char* name;
  framework::PushButton* (*button)(Window1_*);
  std::string bytes;
  std::string answer;  // the simulator's line for it
};
void PrintTo(const ButtonCase& c, std::ostream* os) { *os << c.name; }

class ConsoleButtonTest : public ConsoleTest, public ::testing::WithParamInterface<ButtonCase> {};

TEST_P(ConsoleButtonTest, SendsExactlyItsBytesWhateverTheCommandLineHolds) {
  ASSERT_NO_FATAL_FAILURE(StartWithInstrument());
  QWidget* button = GetParam().button(w)->Widget();
  // A line sent from the command line is still showing, with its clear pending.
  TypeInCommandLine("ID?\r");
  ASSERT_TRUE(ReplyShown(std::string(InstrumentSim::kGenId) + "\r\n"));
  sim.ClearReceived();

  Click(button);
  EXPECT_EQ(w->RxText()->Text(), "");
  EXPECT_TRUE(w->GetEntireReply);
  EXPECT_EQ(Hex(ReceivedOnceSettled(GetParam().bytes.size())), Hex(GetParam().bytes));
  EXPECT_TRUE(ReplyShown(GetParam().answer + "\r\n")) << w->RxText()->Text();
  EXPECT_FALSE(w->GetEntireReply);
  EXPECT_EQ(w->TxText()->Text(), "ID?") << "the button leaves the command line alone";
  // The clear is still pending: the next key empties the field first.
  TypeInCommandLine("a");
  EXPECT_EQ(w->TxText()->Text(), "a");

  // Text typed but not sent stays, and is not sent.
  sim.ClearReceived();
  Click(button);
  EXPECT_EQ(Hex(ReceivedOnceSettled(GetParam().bytes.size())), Hex(GetParam().bytes));
  EXPECT_EQ(w->TxText()->Text(), "a");
  EXPECT_EQ(errors, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Buttons, ConsoleButtonTest,
    ::testing::Values(
        ButtonCase{"BeginUpdate", [](Window1_* w) { return w->BootloaderPB(); }, "\x23\x42\x6F\x6F\x74\x0D", InstrumentSim::kBootAnswer},
        ButtonCase{"GenVersion", [](Window1_* w) { return w->GenVersionPB(); }, "\x76\x65\x72\x3F\x0D", InstrumentSim::kGenVersion},
        ButtonCase{"GenId", [](Window1_* w) { return w->VersionPB1(); }, "\x49\x44\x3F\x0D", InstrumentSim::kGenId},
        ButtonCase{"AnzVersion", [](Window1_* w) { return w->AnzVersionPB(); }, "\x40\x76\x65\x72\x3F\x0D", InstrumentSim::kAnzVersion}),
    [](const auto& info) { return std::string(info.param.name); });

// --- console routing: what the reply area shows ---

struct ShownCase {
  const char* name;
  std::string pendingBefore;  // unasked input that arrived before the send
  Plan answer;                // the instrument's answer to "ver?"
  std::string shown;          // the reply area once the answer is in
  std::string later;          // more input after that, if any
  std::string replyAfter;     // Reply at the end
};
void PrintTo(const ShownCase& c, std::ostream* os) { *os << c.name; }

class ConsoleShownTest : public ConsoleTest, public ::testing::WithParamInterface<ShownCase> {};

TEST_P(ConsoleShownTest, TheFirstInputAfterTheSendIsShownWholeAsReceived) {
  const ShownCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(StartWithInstrument());
  if (!c.pendingBefore.empty()) {
    Arrive(c.pendingBefore);
    ASSERT_EQ(w->Serial1()->BytesAvailable(), c.pendingBefore.size()) << "a fragment waits";
  }
  sim.Script("ver?", c.answer);
  Click(w->GenVersionPB()->Widget());
  EXPECT_TRUE(ReplyShown(c.shown)) << Hex(w->RxText()->Text());
  EXPECT_FALSE(w->GetEntireReply);
  EXPECT_EQ(w->Serial1()->BytesAvailable(), 0u) << "the console takes all that is pending";
  if (!c.later.empty()) {
    Arrive(c.later);
    EXPECT_TRUE(RunUntil([&] { return w->Reply == c.replyAfter; })) << Hex(w->Reply);
    EXPECT_EQ(w->RxText()->Text(), c.shown) << "input for Reply is not shown";
  }
  RunFor(50ms);
  EXPECT_EQ(Hex(w->Reply), Hex(c.replyAfter));
  EXPECT_EQ(Hex(w->RxText()->Text()), Hex(c.shown));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ConsoleShownTest,
    ::testing::Values(
        ShownCase{"OneLine", "", Plan::Lines({"GEN V1.00"}), "GEN V1.00\r\n", "", ""},
        ShownCase{"TwoLinesAtOnce", "", Plan::Lines({"GEN V1.00", "ANZ V1.00"}),
                  "GEN V1.00\r\nANZ V1.00\r\n", "", ""},
        ShownCase{"BytesAsReceived", "", Plan().Send(std::string("\xB5\x00\xFF\x80\r\n", 6)),
                  std::string("\xB5\x00\xFF\x80\r\n", 6), "", ""},
        // Only the first piece is the console's; the rest is upload-side input.
        ShownCase{"SplitReply", "", Plan().Send("GEN "), "GEN ", "V1.00\r\n", "V1.00\r\n"},
        ShownCase{"OkWithoutLineEndThenCrLf", "", Plan().Send("OK"), "OK", "\r\n", "\r\n"},
        ShownCase{"FragmentPendingBeforeTheSend", "AB", Plan::Lines({"GEN V1.00"}),
                  "ABGEN V1.00\r\n", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// --- upload routing: Reply ---

struct Arrival {
  std::string bytes;
  std::string reply;    // Reply after the hand-off ran for them
  std::size_t pending;  // input left waiting
};

struct HandOffCase {
  const char* name;
  std::vector<Arrival> arrivals;
};
void PrintTo(const HandOffCase& c, std::ostream* os) { *os << c.name; }

class ConsoleHandOffTest : public ConsoleTest, public ::testing::WithParamInterface<HandOffCase> {};

TEST_P(ConsoleHandOffTest, OnlyCrLfHandsAllPendingInputToReplyUnshown) {
  ASSERT_NO_FATAL_FAILURE(StartWithInstrument());
  ASSERT_NO_FATAL_FAILURE(ShowVersionReply());
  int step = 0;
  for (const Arrival& a : GetParam().arrivals) {
    SCOPED_TRACE("arrival " + std::to_string(step++) + ": " + Hex(a.bytes));
    const int before = handoffs;
    sim.Send(a.bytes);
    EXPECT_TRUE(RunUntil([&] {
      return handoffs > before && w->Serial1()->BytesAvailable() == a.pending && w->Reply == a.reply;
    }));
    EXPECT_EQ(Hex(w->Reply), Hex(a.reply));
    EXPECT_EQ(w->Serial1()->BytesAvailable(), a.pending);
    EXPECT_EQ(w->RxText()->Text(), "GEN V1.00\r\n") << "upload-side input is never shown";
    EXPECT_FALSE(w->GetEntireReply);
  }
  EXPECT_EQ(sim.ReceivedCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ConsoleHandOffTest,
    ::testing::Values(
        HandOffCase{"UnaskedLine", {{"ANO OK\r\n", "ANO OK\r\n", 0}}},
        HandOffCase{"SplitOverSeveralReads", {{"O", "", 1}, {"K", "", 2}, {"\r", "", 3}, {"\n", "OK\r\n", 0}}},
        HandOffCase{"TwoLinesAtOnce", {{"OK\r\nRP OK\r\n", "OK\r\nRP OK\r\n", 0}}},
        HandOffCase{"LineAndFragment", {{"OK\r\nRP", "OK\r\nRP", 0}, {" OK\r\n", " OK\r\n", 0}}},
        HandOffCase{"CrAlone", {{"OK\r", "", 3}, {"ER OK\r", "", 9}, {"\r\n", "OK\rER OK\r\r\n", 0}}},
        HandOffCase{"LfAlone", {{"OK\n", "", 3}, {"\n", "", 4}, {"OK\r\n", "OK\n\nOK\r\n", 0}}},
        HandOffCase{"LfThenCr", {{"OK\n\r", "", 4}, {"\n", "OK\n\r\n", 0}}},
        HandOffCase{"TwoHandOffsInARow", {{"OK\r\n", "OK\r\n", 0}, {"RP OK\r\n", "RP OK\r\n", 0}}},
        HandOffCase{"CrLfInTheMiddle", {{"AYES", "", 4}, {" OK\r\nAN", "AYES OK\r\nAN", 0}}},
        // The CR ends one read and the LF starts the next, after a long run of pending bytes.
        HandOffCase{"CrLfAcrossReadsAfterAMegabyte",
                    {{Noise(1 << 20), "", 1 << 20},
                     {"OK\r", "", (1 << 20) + 3},
                     {"\nX", Noise(1 << 20) + "OK\r\nX", 0}}},
        HandOffCase{"CrLfAfterAMegabyteInOneRead",
                    {{Noise(1 << 20), "", 1 << 20}, {"OK\r\n", Noise(1 << 20) + "OK\r\n", 0}}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- writing to a closed port ---

struct ClosedPortCase {
  const char* name;
  bool button;        // a fixed command, or Return in the command line
  bool wentAwayUnseen;  // the port was open, and the instrument went away since the last event
};
void PrintTo(const ClosedPortCase& c, std::ostream* os) { *os << c.name; }

class ConsoleClosedPortTest : public ConsoleTest, public ::testing::WithParamInterface<ClosedPortCase> {};

TEST_P(ConsoleClosedPortTest, VerifyConnectionShowsAfterTheConsoleEmptiedTheReplyArea) {
  const ClosedPortCase& c = GetParam();
  if (c.wentAwayUnseen) {
    ASSERT_NO_FATAL_FAILURE(StartWithInstrument());
    ASSERT_NO_FATAL_FAILURE(ShowVersionReply());
    sim.HangUp();
  } else {
    StartWith({{"ttyUSB0", "/nonexistent-vantrel/ttyUSB0"}});
    ASSERT_EQ(w->Connected_Text()->Text(), "False");
  }
  const std::string connected = w->Connected_Text()->Text();
  const int handoffsBefore = handoffs;
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("send " + std::to_string(round));
    if (c.button)
      Click(w->AnzVersionPB()->Widget());
    else
      TypeInCommandLine("@ver?\r");
    EXPECT_EQ(w->RxText()->Text(), "") << "no error before the console emptied the area";
    EXPECT_TRUE(w->GetEntireReply);
    EXPECT_TRUE(ReplyShown("Verify Connection")) << w->RxText()->Text();
    RunFor(100ms);
    EXPECT_EQ(errors, round) << "one Error for each write";
    EXPECT_EQ(w->RxText()->Text(), "Verify Connection");
    EXPECT_TRUE(w->GetEntireReply) << "the error is no input";
    EXPECT_FALSE(w->Serial1()->IsOpen());
  }
  EXPECT_EQ(handoffs, handoffsBefore);
  EXPECT_EQ(w->Connected_Text()->Text(), connected) << "an error leaves the display alone";
}

INSTANTIATE_TEST_SUITE_P(
    Senders, ConsoleClosedPortTest,
    ::testing::Values(ClosedPortCase{"ButtonNeverOpened", true, false},
                      ClosedPortCase{"ReturnNeverOpened", false, false},
                      ClosedPortCase{"ButtonInstrumentWentAway", true, true},
                      ClosedPortCase{"ReturnInstrumentWentAway", false, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A paste into the command line, the way Edit > Paste and the line's own menu do it, then
// Return. Line breaks in the pasted text become blanks, so that it goes out as one command;
// those that end it add nothing; the cursor stands right after the pasted text, where the
// next key goes in; and a line of any length goes out whole.
struct PasteCase {
  const char* name;
  std::string line;  // the command line before the paste
  int cursor;        // and where its cursor stood
  std::string pasted;
  std::string text;  // the command line after the paste
  int cursorAfter;
};

void PrintTo(const PasteCase& c, std::ostream* os) { *os << c.name; }

class ConsolePasteTest : public ConsoleTest, public ::testing::WithParamInterface<PasteCase> {};

TEST_P(ConsolePasteTest, ThePasteBecomesOneLineWithTheCursorRightAfterIt) {
  const PasteCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(StartWithInstrument());
  // A line sent earlier in this process leaves its clear pending (the flag lives as long as
  // the process, which starts the program once per case); a key press spends it.
  TypeInCommandLine("\x1c");
  auto* line = static_cast<QLineEdit*>(w->TxText()->Widget());
  w->TxText()->SetText(c.line);
  line->setCursorPosition(c.cursor);
  line->setFocus();
  QGuiApplication::clipboard()->setText(QString::fromLatin1(c.pasted.data(), static_cast<qsizetype>(c.pasted.size())));
  ASSERT_EQ(QGuiApplication::clipboard()->text().size(), static_cast<qsizetype>(c.pasted.size()));
  line->paste();
  EXPECT_EQ(Hex(w->TxText()->Text()), Hex(c.text));
  EXPECT_EQ(line->cursorPosition(), c.cursorAfter);
  EXPECT_FALSE(line->hasSelectedText());
  TypeInCommandLine("\r");
  EXPECT_EQ(Hex(ReceivedOnceSettled(c.text.size() + 1)), Hex(c.text + "\r"));
}

INSTANTIATE_TEST_SUITE_P(
    Pastes, ConsolePasteTest,
    ::testing::Values(
        PasteCase{"CrLfAtTheStart", "ab", 0, "X\r\nY", "X Yab", 3},
        PasteCase{"CrLfInTheMiddle", "ab", 1, "X\r\nY\r\nZ", "aX Y Zb", 6},
        PasteCase{"CrLfAtTheEnd", "ab", 2, "ID?\r\nver?", "abID? ver?", 10},
        PasteCase{"CrInTheMiddle", "ab", 1, "X\rY", "aX Yb", 4},
        PasteCase{"LfAtTheEnd", "ab", 2, "X\nY", "abX Y", 5},
        PasteCase{"LfThenCrAreTwoBreaks", "", 0, "X\n\rY", "X  Y", 4},
        PasteCase{"AnEmptyLineBetweenIsTwoBlanks", "", 0, "X\r\n\r\nY", "X  Y", 4},
        PasteCase{"ABreakFirstIsABlank", "ab", 1, "\r\nX", "a Xb", 3},
        PasteCase{"TrailingLfOnAnEmptyLine", "", 0, "ver?\n", "ver?", 4},
        PasteCase{"TrailingCrLfInTheMiddle", "ab", 1, "X\r\n", "aXb", 2},
        PasteCase{"TrailingCrAtTheStart", "ab", 0, "X\r", "Xab", 1},
        PasteCase{"SeveralTrailingBreaks", "ab", 2, "X\r\nY\r\n\r\n\n", "abX Y", 5},
        PasteCase{"OnlyBreaksInTheMiddle", "ab", 1, "\r\n", "ab", 1},
        PasteCase{"OnlyBreaksAtTheEnd", "ab", 2, "\n\r\n\r", "ab", 2},
        PasteCase{"OnlyBreaksOnAnEmptyLine", "", 0, "\r\n", "", 0},
        PasteCase{"LongLine", "", 0, std::string(100000, 'x'), std::string(100000, 'x'), 100000}),
    [](const ::testing::TestParamInfo<PasteCase>& info) { return std::string(info.param.name); });

}  // namespace
