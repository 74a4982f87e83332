#include "tests/support/upload_framings.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <tuple>

namespace testsupport {

std::uint8_t Sum8(const std::string& bytes) {
  unsigned sum = 0;
  for (unsigned char c : bytes) sum += c;
  return static_cast<std::uint8_t>(sum & 0xFF);
}

namespace {

const char* const kBinInfo = "fpga-info";
const char* const kBinData = "fpga-data";
const char* const kRecordInfo = "record-info";
const char* const kRecordData = "record-data";

std::string Hex(std::uint8_t b) {
  static const char* digits = "0123456789ABCDEF";
  return std::string{digits[b >> 4], digits[b & 15]};
}

std::uint8_t Byte(const std::string& s, std::size_t i) { return static_cast<std::uint8_t>(s[i]); }

struct Scripted {
  Stage stage;
  unsigned number;
  Plan answer;
  Then then;
  std::size_t times;  // arrivals it answers
};

Plan LinePlan(const std::string& text) { return Plan::Lines({text}); }

Then ThenOf(const std::string& replyText) { return replyText == "RP OK" ? Then::Again : Then::Next; }

}  // namespace

// What both upload framings keep: the runs, the number within the run, the script.
struct Framing::Book {
  std::mutex m;
  int run = -1;
  unsigned number = 0;
  Plan erase = LinePlan("OK");
  std::vector<Scripted> script;
  std::vector<FramingEvent> events;
  // How often each stage of each number arrived, and each stage per run: the tests ask
  // while hundreds of thousands of stages arrive.
  std::map<std::tuple<int, Stage, unsigned>, std::size_t> seen;
  std::map<std::pair<int, Stage>, std::size_t> perRun;
  std::vector<std::string> errors;
  std::vector<bool> done;
  std::vector<std::size_t> accepted;

  void BeginRun() {
    ++run;
    number = 0;
    done.push_back(false);
    accepted.push_back(0);
  }
  void Note(Stage stage) {
    events.push_back({run, stage, number});
    ++seen[{run, stage, number}];
    ++perRun[{run, stage}];
  }
  void Error(const std::string& what) {
    std::ostringstream s;
    s << "run " << run << ", number " << number << ": " << what;
    errors.push_back(s.str());
  }
  // The scripted answer for this stage of the current page or record, else "OK".
  Plan Answer(Stage stage, Then* then = nullptr) {
    for (auto it = script.begin(); it != script.end(); ++it) {
      if (it->stage == stage && it->number == number) {
        if (then) *then = it->then;
        if (--it->times > 0) return it->answer;
        Plan p = std::move(it->answer);
        script.erase(it);
        return p;
      }
    }
    if (then) *then = Then::Next;
    return LinePlan("OK");
  }
  void AddScript(Stage stage, unsigned number, Plan answer, Then then, std::size_t times) {
    if (stage != Stage::Header && stage != Stage::Information && stage != Stage::Data)
      throw std::invalid_argument("only the header, information and data stages are scripted");
    if (times > 0) script.push_back({stage, number, std::move(answer), then, times});
  }
  int Resolve(int r) const { return r < 0 ? run : r; }
  std::size_t Times(Stage stage, unsigned n, int r) const {
    auto it = seen.find({Resolve(r), stage, n});
    return it == seen.end() ? 0 : it->second;
  }
  std::size_t Count(Stage stage, int r) const {
    auto it = perRun.find({Resolve(r), stage});
    return it == perRun.end() ? 0 : it->second;
  }
  bool Done(int r) const {
    r = Resolve(r);
    return r >= 0 && r < static_cast<int>(done.size()) && done[static_cast<std::size_t>(r)];
  }
};

void Framing::SetEraseAnswer(Plan answer) {
  std::lock_guard<std::mutex> lock(book_->m);
  book_->erase = std::move(answer);
}

void Framing::Script(Stage stage, unsigned number, Plan answer, Then then, std::size_t times) {
  std::lock_guard<std::mutex> lock(book_->m);
  book_->AddScript(stage, number, std::move(answer), then, times);
}

void Framing::Script(Stage stage, unsigned number, const std::string& replyText, std::size_t times) {
  Script(stage, number, LinePlan(replyText), ThenOf(replyText), times);
}

int Framing::Runs() const {
  std::lock_guard<std::mutex> lock(book_->m);
  return book_->run + 1;
}

std::vector<FramingEvent> Framing::Events() const {
  std::lock_guard<std::mutex> lock(book_->m);
  return book_->events;
}

bool Framing::Saw(Stage stage, unsigned number, int run) const {
  std::lock_guard<std::mutex> lock(book_->m);
  return book_->Times(stage, number, run) > 0;
}

std::size_t Framing::Times(Stage stage, unsigned number, int run) const {
  std::lock_guard<std::mutex> lock(book_->m);
  return book_->Times(stage, number, run);
}

std::size_t Framing::Count(Stage stage, int run) const {
  std::lock_guard<std::mutex> lock(book_->m);
  return book_->Count(stage, run);
}

bool Framing::Done(int run) const {
  std::lock_guard<std::mutex> lock(book_->m);
  return book_->Done(run);
}

std::vector<std::string> Framing::Errors() const {
  std::vector<std::string> errors;
  {
    std::lock_guard<std::mutex> lock(book_->m);
    errors = book_->errors;
  }
  for (const std::string& e : sim_->RuleErrors()) errors.push_back("a rule threw: " + e);
  return errors;
}

// ---------------------------------------------------------------- .bin pages

struct BinFraming::State : Framing::Book {
  std::string nextImage;
  std::vector<std::string> expected;  // per run
  std::vector<std::string> image;     // per run: the accepted pages
  std::vector<ReceivedPage> pages;
  std::uint8_t pageByte = 0, lastIndex = 0;

  void Begin() {
    BeginRun();
    expected.push_back(nextImage);
    image.emplace_back();
  }

  bool HandleLine(const std::string& line, Session& s) {
    if (line == "FPGAFile") {
      Begin();
      Note(Stage::Erase);
      s.Respond(erase);
      return true;
    }
    if (line == "FPGAPage") {
      if (run < 0) Error("\"FPGAPage\" before any \"FPGAFile\"");
      if (run < 0) Begin();
      Note(Stage::Header);
      s.Respond(Answer(Stage::Header));
      s.ExpectRaw(2, kBinInfo);
      return true;
    }
    if (line == "FPGADone") {
      if (run < 0) Begin();
      Note(Stage::Done);
      const std::string& want = expected[static_cast<std::size_t>(run)];
      const std::string& got = image[static_cast<std::size_t>(run)];
      if (got != want)
        Error("\"FPGADone\" after " + std::to_string(got.size()) + " accepted bytes of " +
              std::to_string(want.size()));
      if (done[static_cast<std::size_t>(run)]) Error("a second \"FPGADone\"");
      done[static_cast<std::size_t>(run)] = true;
      return true;  // no answer
    }
    return false;
  }

  void HandleInfo(const std::string& b, Session& s) {
    Note(Stage::Information);
    pageByte = Byte(b, 0);
    lastIndex = Byte(b, 1);
    if (pageByte != (number & 0xFF))
      Error("page byte " + Hex(pageByte) + ", expected " + Hex(static_cast<std::uint8_t>(number & 0xFF)));
    const std::string& want = expected[static_cast<std::size_t>(run)];
    const std::size_t offset = static_cast<std::size_t>(number) * 256;
    if (offset >= want.size()) {
      Error("a page beyond the image's " + std::to_string(want.size()) + " bytes");
    } else {
      const std::size_t length = std::min<std::size_t>(256, want.size() - offset);
      if (lastIndex != length - 1)
        Error("last index " + Hex(lastIndex) + ", expected " + Hex(static_cast<std::uint8_t>(length - 1)));
    }
    s.Respond(Answer(Stage::Information));
    s.ExpectRaw(static_cast<std::size_t>(lastIndex) + 1 + 1, kBinData);
  }

  void HandleData(const std::string& b, Session& s) {
    Note(Stage::Data);
    ReceivedPage p;
    p.run = run;
    p.page = number;
    p.pageByte = pageByte;
    p.lastIndex = lastIndex;
    p.data = b.substr(0, b.size() - 1);
    p.sum = Byte(b, b.size() - 1);
    if (p.sum != Sum8(p.data))
      Error("Sum8 byte " + Hex(p.sum) + ", the data's Sum8 is " + Hex(Sum8(p.data)));
    const std::string& want = expected[static_cast<std::size_t>(run)];
    const std::size_t offset = static_cast<std::size_t>(number) * 256;
    if (offset < want.size() && p.data != want.substr(offset, 256))
      Error("the page's data differ from the file's");
    Then then = Then::Next;
    s.Respond(Answer(Stage::Data, &then));
    if (then == Then::Next) {
      image[static_cast<std::size_t>(run)] += p.data;
      ++accepted[static_cast<std::size_t>(run)];
      ++number;
    }
    pages.push_back(std::move(p));
  }
};

BinFraming::BinFraming(InstrumentSim& sim, std::shared_ptr<State> state) : Framing(sim, state), state_(std::move(state)) {}

BinFraming::BinFraming(InstrumentSim& sim, std::string image) : BinFraming(sim, std::make_shared<State>()) {
  state_->nextImage = std::move(image);
  std::shared_ptr<State> st = state_;
  sim.AddRule([st](const Frame& f, Session& s) {
    std::lock_guard<std::mutex> lock(st->m);
    if (f.kind == Frame::Kind::Line) return st->HandleLine(f.bytes, s);
    if (f.tag == kBinInfo) {
      st->HandleInfo(f.bytes, s);
      return true;
    }
    if (f.tag == kBinData) {
      st->HandleData(f.bytes, s);
      return true;
    }
    return false;
  });
}

void BinFraming::ExpectImage(std::string image) {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->nextImage = std::move(image);
}

std::vector<ReceivedPage> BinFraming::Pages() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->pages;
}

std::string BinFraming::Image(int run) const {
  std::lock_guard<std::mutex> lock(state_->m);
  run = state_->Resolve(run);
  if (run < 0 || run >= static_cast<int>(state_->image.size())) return {};
  return state_->image[static_cast<std::size_t>(run)];
}

// ---------------------------------------------------------------- code file records

std::vector<ExpectedRecord> RecordsOfAlignedFile(const std::string& text) {
  std::vector<ExpectedRecord> records;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\r' || text[i] == '\n') {
      ++i;
      continue;
    }
    const std::size_t end = text.find_first_of("\r\n", i);
    if (end == std::string::npos) throw std::invalid_argument("a record without a line end");
    const std::string line = text.substr(i, end - i);
    if (line.size() < 2 || line[0] != 'S') throw std::invalid_argument("not a record: " + line);
    if (line[1] == '1' || line[1] == '2') {
      if (line.size() != 74) throw std::invalid_argument("a data record that is not 74 characters: " + line);
      ExpectedRecord r;
      const int count = std::stoi(line.substr(2, 2), nullptr, 16);
      r.info0 = static_cast<std::uint8_t>((2 * count) & 0xFF);
      r.lead = static_cast<std::uint8_t>(line[4]);
      r.block = line.substr(5) + text[end];
      records.push_back(std::move(r));
    }
    i = end;
  }
  return records;
}

struct RecordFraming::State : Framing::Book {
  std::string prefix;
  // Each framing has tags of its own, so that a .gen and an .anz framing can share a sim.
  std::string infoTag, dataTag;
  std::vector<ExpectedRecord> nextRecords;
  std::vector<std::vector<ExpectedRecord>> expected;  // per run
  std::vector<ReceivedRecord> records;
  std::string info;

  const ExpectedRecord* Want() const {
    const auto& list = expected[static_cast<std::size_t>(run)];
    if (list.empty() || number >= list.size()) return nullptr;
    return &list[number];
  }
  bool Checked() const { return !expected[static_cast<std::size_t>(run)].empty(); }

  void Begin() {
    BeginRun();
    expected.push_back(nextRecords);
  }

  bool HandleLine(const std::string& line, Session& s) {
    if (line == prefix + "MPUFileE") {
      Begin();
      Note(Stage::Erase);
      s.Respond(erase);
      return true;
    }
    if (line == prefix + "MPURec") {
      if (run < 0) Error("\"" + line + "\" before any erase");
      if (run < 0) Begin();
      Note(Stage::Header);
      s.Respond(Answer(Stage::Header));
      s.ExpectRaw(3, infoTag);
      return true;
    }
    if (line == prefix + "MPUDone") {
      if (run < 0) Begin();
      Note(Stage::Done);
      const auto& list = expected[static_cast<std::size_t>(run)];
      if (Checked() && accepted[static_cast<std::size_t>(run)] != list.size())
        Error("the end command after " + std::to_string(accepted[static_cast<std::size_t>(run)]) +
              " of " + std::to_string(list.size()) + " records");
      if (done[static_cast<std::size_t>(run)]) Error("a second end command");
      done[static_cast<std::size_t>(run)] = true;
      return true;  // no answer
    }
    return false;
  }

  void HandleInfo(const std::string& b, Session& s) {
    Note(Stage::Information);
    info = b;
    if (Byte(b, 1) != 69) Error("second information byte " + Hex(Byte(b, 1)) + ", expected 45");
    if (const ExpectedRecord* want = Want()) {
      if (Byte(b, 0) != want->info0)
        Error("first information byte " + Hex(Byte(b, 0)) + ", expected " + Hex(want->info0));
      if (Byte(b, 2) != want->lead)
        Error("lead character " + Hex(Byte(b, 2)) + ", expected " + Hex(want->lead));
    } else if (Checked()) {
      Error("a record beyond the file's " + std::to_string(expected[static_cast<std::size_t>(run)].size()));
    }
    s.Respond(Answer(Stage::Information));
    s.ExpectRaw(70 + 1, dataTag);
  }

  void HandleData(const std::string& b, Session& s) {
    Note(Stage::Data);
    ReceivedRecord r;
    r.run = run;
    r.record = number;
    r.info = info;
    r.block = b.substr(0, 70);
    r.sum = Byte(b, 70);
    if (r.sum != Sum8(r.block))
      Error("Sum8 byte " + Hex(r.sum) + ", the block's Sum8 is " + Hex(Sum8(r.block)));
    if (const ExpectedRecord* want = Want()) {
      if (r.block != want->block) Error("block \"" + r.block + "\", expected \"" + want->block + "\"");
    }
    Then then = Then::Next;
    s.Respond(Answer(Stage::Data, &then));
    if (then == Then::Next) {
      ++accepted[static_cast<std::size_t>(run)];
      ++number;
    }
    records.push_back(std::move(r));
  }
};

RecordFraming::RecordFraming(InstrumentSim& sim, std::shared_ptr<State> state)
    : Framing(sim, state), state_(std::move(state)) {}

RecordFraming::RecordFraming(InstrumentSim& sim, Processor processor)
    : RecordFraming(sim, std::make_shared<State>()) {
  state_->prefix = processor == Processor::Anz ? "@" : "";
  state_->infoTag = kRecordInfo + state_->prefix;
  state_->dataTag = kRecordData + state_->prefix;
  std::shared_ptr<State> st = state_;
  sim.AddRule([st](const Frame& f, Session& s) {
    std::lock_guard<std::mutex> lock(st->m);
    if (f.kind == Frame::Kind::Line) return st->HandleLine(f.bytes, s);
    if (f.tag == st->infoTag) {
      st->HandleInfo(f.bytes, s);
      return true;
    }
    if (f.tag == st->dataTag) {
      st->HandleData(f.bytes, s);
      return true;
    }
    return false;
  });
}

void RecordFraming::ExpectRecords(std::vector<ExpectedRecord> records) {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->nextRecords = std::move(records);
}

std::vector<ReceivedRecord> RecordFraming::Records() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->records;
}

std::size_t RecordFraming::Accepted(int run) const {
  std::lock_guard<std::mutex> lock(state_->m);
  run = state_->Resolve(run);
  if (run < 0 || run >= static_cast<int>(state_->accepted.size())) return 0;
  return state_->accepted[static_cast<std::size_t>(run)];
}

// ---------------------------------------------------------------- the wire

StagedWire PageWire(unsigned page, const std::string& data) {
  return {"FPGAPage\r", {static_cast<char>(page & 0xFF), static_cast<char>(data.size() - 1)},
          data + static_cast<char>(Sum8(data))};
}

StagedWire RecordWire(const ExpectedRecord& record, const std::string& prefix) {
  return {prefix + "MPURec\r", {static_cast<char>(record.info0), 69, static_cast<char>(record.lead)},
          record.block + static_cast<char>(Sum8(record.block))};
}

std::string PagesWire(const std::string& image, std::size_t pages) {
  std::string wire;
  for (std::size_t page = 0; page < pages && page * 256 < image.size(); ++page)
    wire += PageWire(static_cast<unsigned>(page), image.substr(page * 256, 256)).All();
  return wire;
}

std::string RecordsWire(const std::vector<ExpectedRecord>& records, const std::string& prefix) {
  std::string wire;
  for (const ExpectedRecord& r : records) wire += RecordWire(r, prefix).All();
  return wire;
}

// ---------------------------------------------------------------- configuration query

struct InitDoneQuery::State {
  std::mutex m;
  std::vector<Plan> answers{LinePlan("AYES OK")};
  std::vector<SimClock::time_point> times;
};

InitDoneQuery::InitDoneQuery(InstrumentSim& sim) : state_(std::make_shared<State>()) {
  std::shared_ptr<State> st = state_;
  sim.AddRule([st](const Frame& f, Session& s) {
    if (f.kind != Frame::Kind::Line || f.bytes != "@InitDone?") return false;
    std::lock_guard<std::mutex> lock(st->m);
    const std::size_t n = st->times.size();
    st->times.push_back(f.last);
    if (!st->answers.empty()) s.Respond(st->answers[std::min(n, st->answers.size() - 1)]);
    return true;
  });
}

void InitDoneQuery::SetAnswers(std::vector<Plan> answers) {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->answers = std::move(answers);
}

std::vector<Plan> InitDoneQuery::NotReadyThenReady(int notReady, std::chrono::milliseconds delay) {
  std::vector<Plan> answers;
  for (int i = 0; i < notReady; ++i) answers.push_back(Plan::After(delay, "ANO OK\r\n"));
  answers.push_back(Plan::After(delay, "AYES OK\r\n"));
  return answers;
}

std::size_t InitDoneQuery::Count() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->times.size();
}

std::vector<SimClock::time_point> InitDoneQuery::Times() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->times;
}

}  // namespace testsupport
