// The three file buttons: the open dialog with its filter, f, and which upload starts.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "framework/files.h"
#include "tests/support/instrument_sim.h"
#include "tests/support/program_fixture.h"
#include "tests/support/program_harness.h"
#include "tests/support/srec_fixtures.h"
#include "tests/support/upload_framings.h"
#include "tests/support/upload_kind.h"
#include "window/window1.h"

using namespace harness;
using testsupport::InstrumentSim;
using testsupport::Plan;
using testsupport::Stage;
using testsupport::Upload;

namespace {

using ThreadState = framework::Thread::ThreadState;

struct Launcher {
  Upload button;
  const char* filter;
  const char* eraseCommand;
  const char* fileName;
};

const Launcher kLaunchers[] = {
    {Upload::Bin, "BinConfig", "FPGAFile\r", "image.bin"},
    {Upload::Gen, "GEN", "MPUFileE\r", "code.gen"},
    {Upload::Anz, "ANZ", "@MPUFileE\r", "code.anz"},
};

void PrintTo(const Launcher& l, std::ostream* os) { *os << testsupport::NameOf(l.button); }

class LauncherTest : public testsupport::ProgramOnSimTest {
 protected:
  // Presses the button; the dialog answers with the path, or Cancel for nothing.
  void Press(Upload b, std::optional<std::string> path) {
    seen->nextFile = std::move(path);
    Click(testsupport::LauncherOf(w, b)->Widget());
  }
  std::vector<Upload> Running() const {
    std::vector<Upload> v;
    for (Upload b : {Upload::Bin, Upload::Gen, Upload::Anz})
      if (testsupport::WorkerOf(w, b)->State() != ThreadState::NotRunning) v.push_back(b);
    return v;
  }
  std::string Chosen() const { return w->f ? w->f->NativePath() : "(nothing)"; }
  std::string CodeFile(const std::string& name) const {
    return dir.Write(name, testsupport::MakeSrec(testsupport::PatternBytes(64, 51)));
  }
};

class EachLauncherTest : public LauncherTest, public ::testing::WithParamInterface<Launcher> {};

TEST_P(EachLauncherTest, ChoosingAFileStartsItsOwnUploadAndNoOther) {
  const Launcher& l = GetParam();
  const std::string path = dir.Write(l.fileName, "S9030000FC\r\n");
  Press(l.button, path);
  EXPECT_EQ(Chosen(), path);
  EXPECT_EQ(seen->dialogFilters, std::vector<std::string>{l.filter});
  // The simulator does not answer the erase command: the upload stays where it began.
  ASSERT_TRUE(RunUntil([&] { return sim.ReceivedCount() >= std::string(l.eraseCommand).size(); }));
  RunFor(100ms);
  EXPECT_EQ(sim.Received(), l.eraseCommand);
  EXPECT_EQ(Running(), std::vector<Upload>{l.button});
  EXPECT_TRUE(seen->messages.empty());
}

// A .gen file chosen and sent first; then a press that is cancelled forgets it.
TEST_P(EachLauncherTest, CancelForgetsAnEarlierChoiceAndStartsNothing) {
  testsupport::RecordFraming framing(sim);
  const std::string gen = CodeFile("code.gen");
  Press(Upload::Gen, gen);
  ASSERT_TRUE(RunUntil([&] { return framing.Done() && Running().empty(); }));
  ASSERT_EQ(Chosen(), gen);
  const std::size_t before = sim.ReceivedCount();

  Press(GetParam().button, std::nullopt);
  EXPECT_EQ(w->f, nullptr);
  RunFor(200ms);
  EXPECT_TRUE(Running().empty());
  EXPECT_EQ(sim.ReceivedCount(), before);
  EXPECT_TRUE(seen->messages.empty());
  EXPECT_EQ(w->StatusText()->Text(), ".gen File Load Done");
}

INSTANTIATE_TEST_SUITE_P(Buttons, EachLauncherTest, ::testing::ValuesIn(kLaunchers),
                         [](const auto& info) { return std::string(testsupport::NameOf(info.param.button)); });

TEST_F(LauncherTest, TheDialogsAreFilteredByTheirTypeAtEveryPress) {
  const auto registeredBefore = framework::RegisteredFileTypes();
  for (int round = 0; round < 2; ++round)
    for (const Launcher& l : kLaunchers) Press(l.button, std::nullopt);
  EXPECT_EQ(seen->dialogFilters,
            (std::vector<std::string>{"BinConfig", "GEN", "ANZ", "BinConfig", "GEN", "ANZ"}));
  // Pressing registers nothing anew.
  const auto registeredAfter = framework::RegisteredFileTypes();
  ASSERT_EQ(registeredAfter.size(), registeredBefore.size());
  for (std::size_t i = 0; i < registeredAfter.size(); ++i)
    EXPECT_EQ(registeredAfter[i].Name, registeredBefore[i].Name);
  EXPECT_TRUE(Running().empty());
  EXPECT_EQ(sim.ReceivedCount(), 0u);
}

// --- a press while an upload runs ---

struct Interruption {
  const char* name;
  Upload button;
  bool choose;  // what the dialog would answer: a file, or Cancel
};

void PrintTo(const Interruption& c, std::ostream* os) { *os << c.name; }

class PressDuringUploadTest : public LauncherTest, public ::testing::WithParamInterface<Interruption> {};

TEST_P(PressDuringUploadTest, IsRefusedBeforeTheDialogAndLeavesFAndTheDisplaysAlone) {
  const Interruption& c = GetParam();
  const std::string image = testsupport::PatternBytes(3 * 256, 52);
  testsupport::BinFraming bin(sim, image);
  testsupport::RecordFraming gen(sim, testsupport::Processor::Gen);
  testsupport::RecordFraming anz(sim, testsupport::Processor::Anz);
  bin.Script(Stage::Header, 1, Plan::Silence());
  const std::string running = dir.Write("image.bin", image);
  Press(Upload::Bin, running);
  ASSERT_TRUE(RunUntil([&] { return bin.Saw(Stage::Header, 1); }));

  struct Shown {
    std::string status, bin, page, checksum, repeat;
    int value, maximum;
    bool operator==(const Shown&) const = default;
  };
  auto shown = [&] {
    return Shown{w->StatusText()->Text(),   w->Bin_Status()->Text(),     w->PageNumText()->Text(),
                 w->ChecksumText()->Text(), w->RepeatPageText()->Text(), w->ProgressBar1()->Value(),
                 w->ProgressBar1()->Maximum()};
  };
  const Shown before = shown();
  ASSERT_EQ(before.page, "1");
  const std::size_t sent = sim.ReceivedCount();

  const std::string other = c.button == Upload::Bin ? dir.Write("other.bin", "xyz") : CodeFile("other.code");
  Press(c.button, c.choose ? std::optional<std::string>(other) : std::nullopt);
  EXPECT_EQ(seen->dialogFilters.size(), 1u) << "the dialog opened during the upload";
  EXPECT_EQ(Chosen(), running) << "f lost the running upload's file";
  ASSERT_EQ(seen->messages.size(), 1u) << "the refusal is said once";
  EXPECT_EQ(seen->messages[0].rfind("The .bin File upload is running. ", 0), 0u) << seen->messages[0];
  RunFor(200ms);
  EXPECT_EQ(Running(), std::vector<Upload>{Upload::Bin});
  EXPECT_EQ(sim.ReceivedCount(), sent) << "something went out for the second press";
  EXPECT_TRUE(shown() == before) << "the running upload's displays changed";

  // The running upload goes on with the file it opened.
  sim.Send("OK\r\n");
  ASSERT_TRUE(RunUntil([&] { return bin.Done() && Running().empty(); }));
  EXPECT_TRUE(bin.Image() == image);
  EXPECT_TRUE(bin.Errors().empty()) << ::testing::PrintToString(bin.Errors());
  EXPECT_EQ(bin.Runs(), 1);
  EXPECT_EQ(gen.Runs() + anz.Runs(), 0);
  EXPECT_EQ(w->StatusText()->Text(), ".bin File Load Done");

  // Once it is over, a press asks for a file and starts an upload again (which waits in its
  // erase: a small file would otherwise be done before it is looked at).
  for (testsupport::Framing* f : std::initializer_list<testsupport::Framing*>{&bin, &gen, &anz})
    f->SetEraseAnswer(Plan::Silence());
  Press(c.button, other);
  EXPECT_EQ(seen->dialogFilters.size(), 2u);
  EXPECT_EQ(Chosen(), other);
  ASSERT_TRUE(RunUntil([&] { return bin.Runs() + gen.Runs() + anz.Runs() == 2; }));
  EXPECT_EQ(Running(), std::vector<Upload>{c.button});
  EXPECT_EQ(seen->messages.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Presses, PressDuringUploadTest,
                         ::testing::Values(Interruption{"SameButton", Upload::Bin, true},
                                           Interruption{"GenButton", Upload::Gen, true},
                                           Interruption{"AnzButton", Upload::Anz, true},
                                           Interruption{"DialogWouldCancel", Upload::Gen, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
