// Start-up, the single instances, the menus and the About window, through the real program.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

#include <signal.h>

#include <functional>
#include <stdexcept>

#include "framework/application.h"
#include "framework/files.h"
#include "shell/about.h"
#include "shell/app.h"
#include "shell/menubar1.h"
#include "shell/startup.h"
#include "tests/support/program_harness.h"
#include "window/window1.h"

using namespace harness;

namespace {

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override { seen = &InstallSeams(); }
  void TearDown() override {
    if (!stopped) framework::testing::StopProgram();
  }
  int Stop() {
    stopped = true;
    return framework::testing::StopProgram();
  }
  Seen* seen = nullptr;
  bool stopped = false;
};

TEST_F(StartupTest, WithoutPortsStartsAndShowsTheWindowWithNothingOpened) {
  Window1_* w = Start({});
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->Widget()->isVisible());
  EXPECT_EQ(w->Title(), "Vantrel-9 Programmer");
  ASSERT_EQ(w->PortPopup()->ListCount(), 1);
  EXPECT_EQ(w->PortPopup()->List(0), "none");
  EXPECT_LT(w->PortPopup()->ListIndex(), 0);
  EXPECT_FALSE(w->Serial1()->IsOpen());
  EXPECT_EQ(w->Connected_Text()->Text(), "No");
  // Emptying and filling the list raised no Change, so no invalid-index message.
  EXPECT_TRUE(seen->messages.empty());
  EXPECT_EQ(w->SerialPortCount, 0);
}

TEST_F(StartupTest, FreshWindowHoldsItsPropertiesAtCreationValues) {
  Window1_* w = Start({});
  EXPECT_FALSE(w->GetEntireReply);
  EXPECT_EQ(w->Reply, "");
  EXPECT_EQ(w->f, nullptr);
  EXPECT_EQ(w->RepeatPageText()->Text(), "0");
  for (auto* label : {w->PageNumText(), w->ChecksumText(), w->StatusText(), w->Bin_Status(),
                      w->Kesmar_Status(), w->ANZ_Status()})
    EXPECT_EQ(label->Text(), "") << label->Name();
  EXPECT_EQ(w->ProgressBar1()->Value(), 0);
  EXPECT_EQ(w->ProgressBar1()->Maximum(), 100);
  EXPECT_EQ(w->RxText()->Text(), "");
  EXPECT_EQ(w->TxText()->Text(), "");
  EXPECT_EQ(w->BaudPopup()->ListIndex(), 3);
  EXPECT_EQ(w->BaudPopup()->List(3), "115200");
}

TEST_F(StartupTest, SingleInstancesYieldOneObjectEach) {
  Window1_* w = Start({});
  EXPECT_EQ(Window1(), w);
  EXPECT_EQ(Window1(), Window1());
  EXPECT_EQ(MenuBar1(), MenuBar1());
  EXPECT_EQ(App(), App());
  ASSERT_NE(App(), nullptr);
  EXPECT_EQ(App(), framework::getAppObject());
  // The application and the window share the one menu bar.
  EXPECT_EQ(App()->MenuBar().get(), MenuBar1().get());
  EXPECT_EQ(w->MenuBar().get(), MenuBar1().get());
}

TEST_F(StartupTest, AccessorsFindTheirControlByNameWithTheirClass) {
  Window1_* w = Start({});
  EXPECT_EQ(w->ControlCount(), 48);
  EXPECT_EQ(w->ControlAt(0), w->Serial1());
  EXPECT_EQ(w->ControlAt(47), w->Checksum_Label1221());
  EXPECT_EQ(w->ControlAt(18), w->SendConfigFile1());
  EXPECT_EQ(w->ControlAt(19), w->SendGenMPUCode1());
  EXPECT_EQ(w->ControlAt(43), w->SendAnzMPUCode1());
  for (int i = 0; i < w->ControlCount(); ++i) {
    framework::Control* c = w->ControlAt(i);
    EXPECT_EQ(w->ControlByName_(c->Name()), c);
    EXPECT_EQ(c->Parent(), w);
  }
  EXPECT_EQ(w->StatusText(), w->StatusText());
  EXPECT_EQ(w->ControlByName_("NoSuchControl"), nullptr);
}

TEST_F(StartupTest, EditMenuHoldsItsNineItemsInOrderWithTheirShortcuts) {
  Window1_* w = Start({});
  struct Expected {
    const char* name;
    const char* text;
    std::optional<std::string> shortcut;
  };
  const Expected kEdit[] = {
      {"EditUndo", "&Undo", "Cmd+Z"},       {"UntitledMenu1", "-", std::nullopt},
      {"EditCut", "Cu&t", "Cmd+X"},         {"EditCopy", "&Copy", "Cmd+C"},
      {"EditPaste", "&Paste", "Cmd+V"},     {"EditClear", "&Delete", ""},
      {"UntitledMenu0", "-", std::nullopt}, {"EditSelectAll", "Select &All", "Cmd+A"},
      {"AppleAbout", "&About Vantrel-9 Programmer", ""},
  };
  framework::MenuItem* edit = w->EditMenu();
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->Text(), "&Edit");
  ASSERT_EQ(edit->Count(), 9);
  for (int i = 0; i < 9; ++i) {
    SCOPED_TRACE(kEdit[i].name);
    EXPECT_EQ(edit->Item(i)->Name(), kEdit[i].name);
    EXPECT_EQ(edit->Item(i)->Text(), kEdit[i].text);
    EXPECT_EQ(edit->Item(i)->KeyboardShortcut(), kEdit[i].shortcut);
    EXPECT_TRUE(edit->Item(i)->AutoEnable());
  }
  ASSERT_EQ(w->FileMenu()->Count(), 1);
  EXPECT_EQ(w->FileMenu()->Item(0), w->FileQuit());
  EXPECT_EQ(w->FileQuit()->KeyboardShortcut(), "Cmd+Q");
  EXPECT_EQ(w->AppleAbout(), edit->Item(8));
  // The Qt menus show the same items: Edit has 9 entries, separators included.
  auto* bar = static_cast<QMainWindow*>(w->Widget())->menuBar();
  ASSERT_EQ(bar->actions().size(), 2);
  EXPECT_EQ(bar->actions()[1]->menu()->actions().size(), 9);
  EXPECT_EQ(w->EditCopy()->Action()->shortcut(), QKeySequence(QStringLiteral("Ctrl+C")));
}

TEST_F(StartupTest, QuitEndsTheLoopAndReleasesTheFileTypes) {
  Start({});
  EXPECT_EQ(framework::RegisteredFileTypes().size(), 8u);
  Window1()->FileQuit()->Action()->trigger();
  EXPECT_TRUE(framework::RuntimeQuitRequested());
  EXPECT_EQ(Stop(), 0);
  EXPECT_TRUE(framework::RegisteredFileTypes().empty());
}

std::vector<std::string> g_stepsRun;

TEST_F(StartupTest, TheTestingEntryRunsTheProgramsOwnStepsInMainsOrder) {
  g_stepsRun.clear();
  const framework::ProgramSteps steps{
      [] { g_stepsRun.push_back("begin"); shell::MainBegin(); },
      [] { g_stepsRun.push_back("main"); shell::Main_(); },
      [] { g_stepsRun.push_back("end"); return shell::MainEnd(); }};
  // A step left out is refused before anything runs.
  EXPECT_THROW(framework::testing::StartProgram({steps.begin, nullptr, steps.end}),
               std::invalid_argument);
  EXPECT_TRUE(g_stepsRun.empty());

  framework::testing::StartProgram(steps);
  EXPECT_EQ(g_stepsRun, (std::vector<std::string>{"begin", "main"}));
  EXPECT_TRUE(Window1()->Widget()->isVisible());
  EXPECT_EQ(framework::RegisteredFileTypes().size(), 8u);
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(g_stepsRun, (std::vector<std::string>{"begin", "main", "end"}));
  EXPECT_TRUE(framework::RegisteredFileTypes().empty());

  // The steps handed over one by one, as main hands them.
  g_stepsRun.clear();
  stopped = false;
  framework::testing::StartProgram(steps.begin, steps.main, steps.end);
  EXPECT_EQ(g_stepsRun, (std::vector<std::string>{"begin", "main"}));
  EXPECT_TRUE(Window1()->Widget()->isVisible());
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(g_stepsRun, (std::vector<std::string>{"begin", "main", "end"}));
}

// A start that fails leaves nothing started: what it made is released, and the next start
// starts the program afresh.
TEST_F(StartupTest, AStartThatFailsIsUndoneAndTheNextStartRuns) {
  g_stepsRun.clear();
  const framework::ProgramSteps failingBegin{
      [] { g_stepsRun.push_back("begin"); throw std::runtime_error("begin failed"); },
      [] { g_stepsRun.push_back("main"); },
      [] { g_stepsRun.push_back("end"); return 0; }};
  EXPECT_THROW(framework::testing::StartProgram(failingBegin), std::runtime_error);
  // Nothing began, so no end step is owed.
  EXPECT_EQ(g_stepsRun, (std::vector<std::string>{"begin"}));
  EXPECT_EQ(framework::testing::StopProgram(), 0);
  EXPECT_EQ(g_stepsRun, (std::vector<std::string>{"begin"}));

  // main fails once the window is up: the end step releases it at once.
  g_stepsRun.clear();
  const framework::ProgramSteps failingMain{
      [] { g_stepsRun.push_back("begin"); shell::MainBegin(); },
      [] {
        g_stepsRun.push_back("main");
        shell::Main_();
        throw std::runtime_error("main failed");
      },
      [] { g_stepsRun.push_back("end"); return shell::MainEnd(); }};
  EXPECT_THROW(framework::testing::StartProgram(failingMain), std::runtime_error);
  EXPECT_EQ(g_stepsRun, (std::vector<std::string>{"begin", "main", "end"}));
  EXPECT_EQ(framework::RuntimeGetImplicitWindow("Window1"), nullptr);
  EXPECT_TRUE(framework::RegisteredFileTypes().empty());

  // The next start is not refused as running already.
  Window1_* w = nullptr;
  ASSERT_NO_THROW(w = Start({}));
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->Widget()->isVisible());
  EXPECT_FALSE(framework::RuntimeQuitRequested());
  EXPECT_EQ(Stop(), 0);
}

// --- termination signals, in this process: no signal that ends it is sent ---

void NoteSignal(int) {}

struct sigaction ActionOf(int number) {
  struct sigaction now {};
  EXPECT_EQ(::sigaction(number, nullptr, &now), 0);
  return now;
}

class StartupSignalTest : public StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(::sigaction(kSignals[i], nullptr, &saved_[i]), 0);
    // What the runtime finds: one signal with a handler of someone else's, one ignored (as
    // under nohup), one at its default.
    struct sigaction other {};
    other.sa_handler = NoteSignal;
    sigemptyset(&other.sa_mask);
    ASSERT_EQ(::sigaction(SIGINT, &other, nullptr), 0);
    ASSERT_EQ(::signal(SIGHUP, SIG_IGN), SIG_DFL);
    ASSERT_NE(::signal(SIGTERM, SIG_DFL), SIG_ERR);
  }
  void TearDown() override {
    StartupTest::TearDown();
    for (int i = 0; i < 3; ++i) ::sigaction(kSignals[i], &saved_[i], nullptr);
  }
  // Whether each signal acts as the runtime found it.
  static void ExpectAsFound(const char* when) {
    EXPECT_EQ(ActionOf(SIGINT).sa_handler, &NoteSignal) << when;
    EXPECT_EQ(ActionOf(SIGHUP).sa_handler, SIG_IGN) << when;
    EXPECT_EQ(ActionOf(SIGTERM).sa_handler, SIG_DFL) << when;
  }
  // A few passes of the event loop: each zero timer runs in a pass of its own, after the
  // events that were there when it was posted.
  static void RunPasses(int count) {
    int passes = 0;
    std::function<void()> next = [&] {
      if (++passes < count) QTimer::singleShot(0, next);
    };
    QTimer::singleShot(0, next);
    framework::testing::RunEventsUntil([&] { return passes >= count; }, 5000ms);
  }

  static constexpr int kSignals[3] = {SIGTERM, SIGHUP, SIGINT};
  struct sigaction saved_[3] {};
};

TEST_F(StartupSignalTest, TheHandlersLastAsLongAsTheRuntimeAndASignalOfOneRunQuitsNoOther) {
  Window1_* w = Start({});
  ASSERT_NE(w, nullptr);
  // The program's handler is in for the two it may take; the ignored one stays ignored.
  const auto ours = ActionOf(SIGTERM).sa_handler;
  ASSERT_NE(ours, SIG_DFL);
  ASSERT_NE(ours, SIG_IGN);
  EXPECT_EQ(ActionOf(SIGINT).sa_handler, ours);
  EXPECT_EQ(ActionOf(SIGHUP).sa_handler, SIG_IGN);

  // A signal whose quit the loop never gets to: after it, the next one takes the default
  // action (ends the process) instead of waiting on the same loop.
  ASSERT_EQ(::raise(SIGTERM), 0);
  EXPECT_EQ(ActionOf(SIGTERM).sa_handler, SIG_DFL);
  EXPECT_EQ(ActionOf(SIGINT).sa_handler, SIG_DFL);
  EXPECT_EQ(ActionOf(SIGHUP).sa_handler, SIG_IGN);
  EXPECT_FALSE(framework::RuntimeQuitRequested()) << "no event has been handled yet";
  EXPECT_EQ(Stop(), 0);
  ExpectAsFound("after the runtime ended");

  // The next run: the signal left unread in the last one does not quit it.
  stopped = false;
  w = Start({});
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(ActionOf(SIGTERM).sa_handler, ours);
  RunPasses(5);
  EXPECT_FALSE(framework::RuntimeQuitRequested()) << "a signal of the last run quit this one";
  EXPECT_TRUE(w->Widget()->isVisible());
  // A signal of its own still quits it, as Quit does.
  ASSERT_EQ(::raise(SIGINT), 0);
  EXPECT_TRUE(framework::testing::RunEventsUntil([] { return framework::RuntimeQuitRequested(); }, 5000ms));
  EXPECT_EQ(Stop(), 0);
  ExpectAsFound("after the second run");
}

TEST_F(StartupTest, FileTypesAreRegisteredOnceInTableOrderWithTheirStrings) {
  Start({});
  struct Expected {
    const char *name, *extensions, *type;
  };
  const Expected kTypes[] = {
      {"BinConfig", "bin", "BINC"},
      {"text/plain", ".asc;.ascii;.bas;.c;.class;.cp;.cpp;.h;.hp;.hpp;.i3;.java;.m2;.m3;.mak;.text;.txt", "TEXT"},
      {"S19", ".s19", "S19T"}, {"GEN", ".gen", "VGEN"}, {"sx", ".sx", "SXT"},
      {"ANZ", ".anz", "VANZ"}, {"TXB", ".txb", "TXB"},  {"RXB", ".rxb", "RXB"},
  };
  auto registered = framework::RegisteredFileTypes();
  ASSERT_EQ(registered.size(), 8u);
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(registered[i].Name, kTypes[i].name);
    EXPECT_EQ(registered[i].Extensions, kTypes[i].extensions);
    EXPECT_EQ(registered[i].MacType, kTypes[i].type);
    EXPECT_EQ(registered[i].MacCreator, "");
  }
}

TEST_F(StartupTest, AboutShowsOneWindowInFrontAndOkClosesOnlyIt) {
  Window1_* w = Start({});
  w->AppleAbout()->Action()->trigger();
  RunFor(50ms);
  About_* about = About();
  ASSERT_NE(about, nullptr);
  EXPECT_TRUE(about->Widget()->isVisible());
  EXPECT_EQ(about->Title(), "About Kesmar-5 Programmer");
  w->AppleAbout()->Action()->trigger();
  RunFor(50ms);
  EXPECT_EQ(About(), about) << "a second About command makes no second window";
  EXPECT_EQ(QApplication::activeWindow(), about->Widget());

  std::string text = about->TextArea1()->Text();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 14);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.rfind("Vantrel-9 Programmer Version 2.00\r", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 4), ".\r\r\r");
  EXPECT_NE(text.find("\rImportant Notes:\r"), std::string::npos);
  EXPECT_TRUE(about->PushButton1()->Default());
  EXPECT_EQ(about->PushButton1()->Caption(), "OK");

  Click(about->PushButton1()->Widget());
  RunFor(50ms);
  EXPECT_EQ(framework::RuntimeGetImplicitWindow("About"), nullptr);
  EXPECT_TRUE(w->Widget()->isVisible());
  EXPECT_FALSE(framework::RuntimeQuitRequested());
  // The next command brings an About window again.
  w->AppleAbout()->Action()->trigger();
  RunFor(50ms);
  ASSERT_NE(framework::RuntimeGetImplicitWindow("About"), nullptr);
  EXPECT_TRUE(About()->Widget()->isVisible());
}

TEST_F(StartupTest, AboutWindowOpensAtItsDesignSizeWithOkInTheCorner) {
  Window1_* w = Start({});
  w->AppleAbout()->Action()->trigger();
  About_* about = About();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(about->Widget()));
  EXPECT_EQ(about->ContentArea()->size(), QSize(548, 323));
  EXPECT_EQ(about->PushButton1()->Widget()->geometry(), QRect(471, 283, 68, 20));
  EXPECT_EQ(about->TextArea1()->Widget()->geometry(), QRect(20, 15, 508, 243));
}

TEST_F(StartupTest, AboutWindowKeepsItsButtonAtTheCornerWhenResized) {
  Start({});
  About_* about = About();
  about->Show();
  about->ContentArea()->resize(700, 400);
  RunFor(20ms);
  QWidget* ok = about->PushButton1()->Widget();
  EXPECT_EQ(about->ContentArea()->width() - (ok->x() + ok->width()), 9);
  EXPECT_EQ(about->ContentArea()->height() - (ok->y() + ok->height()), 20);
  QWidget* area = about->TextArea1()->Widget();
  EXPECT_EQ(area->geometry(), QRect(20, 15, 508, 243));
  auto* edit = static_cast<QPlainTextEdit*>(area);
  EXPECT_EQ(edit->verticalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
  EXPECT_EQ(edit->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_FALSE(edit->isReadOnly());
}

TEST_F(StartupTest, AnExceptionEscapingAHandlerIsReportedOnceAndTheReleaseStepsStillRun) {
  // A message box that fails the first time it is asked for: the failure escapes the
  // Reconnect handler.
  int calls = 0;
  std::vector<std::string> shown;
  framework::testing::SetMessageBox([&](const std::string& text) {
    if (calls++ == 0) throw framework::RuntimeException("box failed");
    shown.push_back(text);
  });
  Window1_* w = Start({});
  Click(w->ConnectPB()->Widget());
  RunFor(50ms);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_NE(shown[0].find("box failed"), std::string::npos);
  EXPECT_TRUE(framework::RuntimeQuitRequested());
  EXPECT_NE(Stop(), 0);
  EXPECT_TRUE(framework::RegisteredFileTypes().empty());
}

}  // namespace
