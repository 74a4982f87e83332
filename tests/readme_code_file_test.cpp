// The README's command lines for making a code file, run as they stand there on a small
// image, and the result uploaded through the real program to the simulated instrument.
#include <gtest/gtest.h>

#include <QTest>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/instrument_sim.h"
#include "tests/support/program_fixture.h"
#include "tests/support/program_harness.h"
#include "tests/support/srec_fixtures.h"
#include "tests/support/upload_framings.h"
#include "window/window1.h"

using namespace harness;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The README's indented command line that starts with the tool's name.
std::string ReadmeLine(const std::string& tool) {
  std::string readme = std::string(__FILE__);
  readme = readme.substr(0, readme.rfind("/tests/")) + "/README.md";
  std::istringstream lines(ReadAll(readme));
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("    " + tool + " ", 0) == 0) return line.substr(4);
  return "";
}

// The image as the instrument rebuilds it from the data characters of the blocks: the
// three address characters after the lead, 64 data characters, the checksum, the line end.
std::string ImageOf(const std::vector<testsupport::ReceivedRecord>& records) {
  std::string image;
  for (const auto& r : records)
    for (std::size_t i = 3; i + 1 < 3 + 64; i += 2)
      image += static_cast<char>(std::stoi(r.block.substr(i, 2), nullptr, 16));
  return image;
}

class ReadmeCodeFileTest : public testsupport::ProgramOnSimTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override { StartOnSim({.exposed = true}); }
};

TEST_P(ReadmeCodeFileTest, MakesAFileThatArrivesWhole) {
  const std::string line = ReadmeLine(GetParam());
  ASSERT_FALSE(line.empty()) << "no " << GetParam() << " line in the README";
  const std::string image = testsupport::PatternBytes(20 * 32, 7);
  dir.Write("code.bin", image);
  ASSERT_EQ(std::system(("cd '" + dir.Path() + "' && " + line).c_str()), 0) << line;
  const std::string text = ReadAll(dir.Path() + "/code.gen");
  const auto expected = testsupport::RecordsOfAlignedFile(text);
  ASSERT_EQ(expected.size(), 20u);

  testsupport::RecordFraming framing(sim);
  framing.ExpectRecords(expected);
  seen->nextFile = dir.Path() + "/code.gen";
  Click(w->LoadGenCodePB()->Widget());
  ASSERT_TRUE(RunUntil([&] { return framing.Done(); }, 30s));
  EXPECT_TRUE(framing.Errors().empty()) << ::testing::PrintToString(framing.Errors());
  EXPECT_EQ(framing.Accepted(), 20u);
  EXPECT_TRUE(ImageOf(framing.Records()) == image);
  EXPECT_EQ(w->StatusText()->Text(), ".gen File Load Done");
}

INSTANTIATE_TEST_SUITE_P(Tools, ReadmeCodeFileTest, ::testing::Values("objcopy", "srec_cat"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
