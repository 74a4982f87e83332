#pragma once
// The instrument's side of the three uploads, as rules on the simulator. Each framing
// checks what the program sends against what the file it expects must give, answers as
// the instrument does (or as a test scripted), and records what arrived.
//
//   .bin     "FPGAFile" -> the erase answer ("OK", at once unless set otherwise);
//            per page: "FPGAPage" -> OK; 2 information bytes (page byte, last index) -> OK;
//            last index + 1 data bytes and their Sum8 -> OK; "FPGADone" -> no answer.
//   records  "MPUFileE" -> OK; per record: "MPURec" -> OK; 3 information bytes
//            (2 x count, 69, lead character) -> OK; 70 block bytes and their Sum8 -> OK;
//            "MPUDone" -> no answer. The ANZ processor's commands carry a leading "@".
//   query    "@InitDone?" -> the answers set up (by default "AYES OK").
//
// A run begins with each erase command. Pages and records are numbered within their run
// by the count the instrument has accepted so far, so a page sent again keeps its number.
// Scripted answers are used up and belong to a stage of one numbered page or record;
// with a data answer the test also says what the program goes on with (the next page or
// the same one again), since a silent or a foreign answer decides nothing by itself.
//
// A check that fails is recorded in Errors() and the frame is answered all the same, so
// that a fault shows as a message rather than as an upload that never ends. Errors() also
// holds what any rule of the simulator threw.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/instrument_sim.h"

namespace testsupport {

enum class Stage { Erase, Header, Information, Data, Done };

// What the program is to do after a scripted data answer.
enum class Then { Next, Again };

// One stage as it arrived: which run, which page or record.
struct FramingEvent {
  int run = 0;
  Stage stage = Stage::Erase;
  unsigned number = 0;
};

// The Sum8 of a string's bytes.
std::uint8_t Sum8(const std::string& bytes);

// What both upload framings answer to and keep: the runs, the script, what arrived.
class Framing {
 public:
  // The answer to every later erase command (Plan::Silence() holds the erase until the
  // test sends "OK" itself).
  void SetEraseAnswer(Plan answer);
  // The answer for the next arrivals (times of them) of a stage (Header, Information or
  // Data) of a page or record, in the current or a later run. Entries for the same stage
  // and number are used in the order given.
  void Script(Stage stage, unsigned number, Plan answer, Then then = Then::Next, std::size_t times = 1);
  // The same with a reply line ("OK", "RP OK", "ER OK", ...); "RP OK" means Then::Again.
  void Script(Stage stage, unsigned number, const std::string& replyText, std::size_t times = 1);

  int Runs() const;
  std::vector<FramingEvent> Events() const;
  // Whether that stage of that page or record arrived in the run (-1: the latest run).
  bool Saw(Stage stage, unsigned number, int run = -1) const;
  // How often that stage of that page or record arrived in the run.
  std::size_t Times(Stage stage, unsigned number, int run = -1) const;
  // How often that stage arrived in the run, whatever the number.
  std::size_t Count(Stage stage, int run = -1) const;
  bool Done(int run = -1) const;  // the closing command arrived
  std::vector<std::string> Errors() const;

  struct Book;

 protected:
  Framing(InstrumentSim& sim, std::shared_ptr<Book> book) : sim_(&sim), book_(std::move(book)) {}

 private:
  InstrumentSim* sim_;
  std::shared_ptr<Book> book_;
};

// ---------------------------------------------------------------- .bin pages

struct ReceivedPage {
  int run = 0;
  unsigned page = 0;
  std::uint8_t pageByte = 0, lastIndex = 0;
  std::string data;      // the block as it arrived
  std::uint8_t sum = 0;  // the Sum8 byte as it arrived
};

class BinFraming : public Framing {
 public:
  // Installs the rules; every run is to deliver image.
  BinFraming(InstrumentSim& sim, std::string image);

  // For runs that start from now on.
  void ExpectImage(std::string image);
  std::vector<ReceivedPage> Pages() const;  // every data block, in arrival order
  // The accepted pages of a run, joined: the image as the instrument keeps it.
  std::string Image(int run = -1) const;

  struct State;

 private:
  explicit BinFraming(InstrumentSim& sim, std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

// ---------------------------------------------------------------- code file records

enum class Processor { Gen, Anz };

// What one data record of a code file is to give on the wire.
struct ExpectedRecord {
  std::uint8_t info0 = 0;  // 2 x count, low 8 bits
  std::uint8_t lead = 0;
  std::string block;       // 70 characters
};

// The data records of a file in which every record is 74 characters long and ends in a
// line end: for each S1 or S2 line its count, the character after the count field and
// the 70 characters that follow it (the line's last 69 and its line end's first).
// Throws std::invalid_argument for a file of any other shape.
std::vector<ExpectedRecord> RecordsOfAlignedFile(const std::string& text);

struct ReceivedRecord {
  int run = 0;
  unsigned record = 0;
  std::string info;      // the 3 information bytes
  std::string block;     // the 70 block bytes
  std::uint8_t sum = 0;  // the Sum8 byte as it arrived
};

class RecordFraming : public Framing {
 public:
  explicit RecordFraming(InstrumentSim& sim, Processor processor = Processor::Gen);

  // Checks every block against these records too (for runs that start from now on).
  void ExpectRecords(std::vector<ExpectedRecord> records);
  std::vector<ReceivedRecord> Records() const;  // every block, in arrival order
  std::size_t Accepted(int run = -1) const;     // records answered "OK"

  struct State;

 private:
  RecordFraming(InstrumentSim& sim, std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

// ---------------------------------------------------------------- the wire

// What the program sends for one page or record, in the parts that each await an answer.
struct StagedWire {
  std::string header, information, data;
  std::string All() const { return header + information + data; }
};

// The page with that number, data its 1 to 256 bytes.
StagedWire PageWire(unsigned page, const std::string& data);
// One record of a code file; prefix "@" for the ANZ processor.
StagedWire RecordWire(const ExpectedRecord& record, const std::string& prefix = "");
// The first pages of an image (all of it by default), page by page.
std::string PagesWire(const std::string& image, std::size_t pages = SIZE_MAX);
std::string RecordsWire(const std::vector<ExpectedRecord>& records, const std::string& prefix = "");

// ---------------------------------------------------------------- configuration query

class InitDoneQuery {
 public:
  explicit InitDoneQuery(InstrumentSim& sim);  // answers "AYES OK"

  // The answer to each query in turn; queries past the list get its last entry.
  void SetAnswers(std::vector<Plan> answers);
  // "ANO OK" to the first notReady queries, then "AYES OK", each after delay.
  static std::vector<Plan> NotReadyThenReady(int notReady,
                                             std::chrono::milliseconds delay = std::chrono::milliseconds(0));

  std::size_t Count() const;
  std::vector<SimClock::time_point> Times() const;  // when each query's CR arrived

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace testsupport
