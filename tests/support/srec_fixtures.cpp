#include "tests/support/srec_fixtures.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs srec_cat with the arguments; its diagnostics go to errorFile.
void RunSrecCat(std::vector<std::string> args, const std::string& errorFile) {
  args.insert(args.begin(), "srec_cat");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, "srec_cat", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0)
    throw std::runtime_error(std::string("cannot run srec_cat (package srecord): ") + std::strerror(rc));
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("srec_cat failed: " + ReadAll(errorFile));
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// srec_cat with the options, on the data; its records without line ends.
std::vector<std::string> Records(const std::string& data, const SrecOptions& o, const TempDir& dir) {
  const std::string in = dir.Write("in.bin", data);
  const std::string out = dir.Path() + "/out.s";
  std::vector<std::string> args = {in, "-binary"};
  if (o.offset != 0) args.insert(args.end(), {"-offset", std::to_string(o.offset)});
  args.insert(args.end(), {"-o", out, "-motorola", "-address-length=" + std::to_string(o.addressLength),
                           "-output_block_size", std::to_string(o.blockSize), "-output_block_packing"});
  if (o.header.empty())
    args.push_back("-disable=header");
  else
    args.insert(args.end(), {"-header", o.header});
  args.push_back(o.dataCount ? "-enable=data-count" : "-disable=data-count");
  if (o.startAddress)
    args.insert(args.end(), {"-execution-start-address", std::to_string(*o.startAddress)});
  RunSrecCat(args, dir.Path() + "/srec_cat.err");
  return SplitLines(ReadAll(out));
}

}  // namespace

const char* LineEndText(LineEnd end) {
  switch (end) {
    case LineEnd::CRLF:
      return "\r\n";
    case LineEnd::LF:
      return "\n";
    case LineEnd::CR:
      return "\r";
  }
  return "\r\n";
}

std::vector<std::string> SrecRecords(const std::string& data, const SrecOptions& options) {
  TempDir dir;
  std::vector<std::string> records = Records(data, options, dir);
  if (options.startAddress && !options.keepEndRecord && options.addressLength > 2 && !records.empty() &&
      (records.back().rfind("S8", 0) == 0 || records.back().rfind("S7", 0) == 0)) {
    // The same start address as srec_cat writes it in a 16-bit file.
    SrecOptions end;
    end.header = "";
    end.startAddress = options.startAddress;
    std::vector<std::string> s9 = Records("", end, dir);
    if (s9.size() != 1 || s9[0].rfind("S9", 0) != 0)
      throw std::runtime_error("srec_cat wrote no S9 record for the start address");
    records.back() = s9[0];
  }
  return records;
}

std::string JoinRecords(const std::vector<std::string>& records, LineEnd end) {
  std::string text;
  for (const std::string& r : records) text += r + LineEndText(end);
  return text;
}

std::string MakeSrec(const std::string& data, const SrecOptions& options) {
  return JoinRecords(SrecRecords(data, options), options.lineEnd);
}

std::string PatternBytes(std::size_t n, std::uint32_t seed) {
  std::string s(n, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1664525u + 1013904223u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/vantrel-files-XXXXXX";
  if (!::mkdtemp(tmpl)) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::Write(const std::string& name, const std::string& bytes) const {
  const std::string path = path_ + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
  return path;
}

}  // namespace testsupport
