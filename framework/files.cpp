// File types and their registry, file references and the open-file dialog.
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QTimer>

#include <sys/stat.h>

#include <algorithm>
#include <exception>
#include <functional>
#include <optional>

#include "framework/detail.h"
#include "framework/file_dialog_filter.h"
#include "framework/files.h"
#include "framework/testing.h"
#include "framework/thread.h"

namespace framework {

// --- file types ---

namespace {

// In registration order. A name may be registered more than once (two types of one name);
// withdrawing then removes the latest, so that each registration is undone once.
std::vector<FileTypeEntry>& Registry() {
  static std::vector<FileTypeEntry> entries;
  return entries;
}

std::vector<FileTypeEntry>::iterator Latest(const std::string& name) {
  auto& r = Registry();
  auto it = std::find_if(r.rbegin(), r.rend(), [&](const FileTypeEntry& e) { return e.Name == name; });
  return it == r.rend() ? r.end() : std::next(it).base();
}

}  // namespace

void RegisterFileType(const std::string& name, const std::string& creator,
                      const std::string& type, const std::string& extensions) {
  Registry().push_back(FileTypeEntry{name, creator, type, extensions});
}

void UnregisterFileType(const std::string& name) {
  auto it = Latest(name);
  if (it != Registry().end()) Registry().erase(it);
}

const FileTypeEntry* FindFileType(const std::string& name) {
  auto it = Latest(name);
  return it == Registry().end() ? nullptr : &*it;
}

std::vector<FileTypeEntry> RegisteredFileTypes() { return Registry(); }

FileType::~FileType() { Withdraw(); }

void FileType::Withdraw() {
  if (!registered_) return;
  UnregisterFileType(name_);
  registered_ = false;
}

void FileType::SetName(const std::string& v) {
  Withdraw();
  name_ = v;
}
void FileType::SetExtensions(const std::string& v) {
  Withdraw();
  extensions_ = v;
}
void FileType::SetMacType(const std::string& v) {
  Withdraw();
  macType_ = v;
}
void FileType::SetMacCreator(const std::string& v) {
  Withdraw();
  macCreator_ = v;
}

FileType::operator std::string() {
  if (!registered_) {
    RegisterFileType(name_, macCreator_, macType_, extensions_);
    registered_ = true;
  }
  return name_;
}

// --- file references ---

namespace {
bool StatPath(const std::string& path, struct stat& st) {
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}
}  // namespace

std::string FolderItem::Name() const {
  std::string p = path_;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  auto slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool FolderItem::Exists() const {
  struct stat st {};
  return StatPath(path_, st);
}

bool FolderItem::Directory() const {
  struct stat st {};
  return StatPath(path_, st) && S_ISDIR(st.st_mode);
}

// --- the open-file dialog ---

namespace detail {

std::string OpenDialogFilter(const FileTypeEntry& type) {
  std::string patterns;
  std::size_t from = 0;
  const std::string& list = type.Extensions;
  while (from <= list.size()) {
    std::size_t end = list.find(';', from);
    if (end == std::string::npos) end = list.size();
    std::string ext = list.substr(from, end - from);
    from = end + 1;
    // Blanks around an entry are no part of it.
    auto first = ext.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    ext = ext.substr(first, ext.find_last_not_of(" \t") - first + 1);
    if (ext.rfind("*.", 0) == 0) ext.erase(0, 2);
    else if (ext.front() == '.') ext.erase(0, 1);
    if (ext.empty()) continue;
    if (!patterns.empty()) patterns += ' ';
    patterns.append("*.").append(ext);
  }
  if (patterns.empty()) patterns.push_back('*');
  return type.Name + " (" + patterns + ")";
}

std::string OpenDialogFilter(const std::string& typeName) {
  const FileTypeEntry* type = FindFileType(typeName);
  return type ? OpenDialogFilter(*type) : std::string("All Files (*)");
}

}  // namespace detail

namespace {

using DialogSeam = std::function<std::optional<std::string>(const std::string&)>;

DialogSeam& Seam() {
  static DialogSeam seam;
  return seam;
}

// Asks the user (or the test seam); must run on the main stack.
std::optional<std::string> AskNow(const std::string& filter) {
  if (Seam()) return Seam()(filter);
  detail::EnsureQtApplication();
  const std::string qtFilter = detail::OpenDialogFilter(filter);
  QString chosen = QFileDialog::getOpenFileName(
      QApplication::activeWindow(), QString(), QString(),
      QString::fromUtf8(qtFilter.data(), static_cast<qsizetype>(qtFilter.size())));
  if (chosen.isEmpty()) return std::nullopt;
  return QFile::encodeName(chosen).toStdString();
}

// A modal dialog runs a nested event loop, which must never run on a thread's fiber: from a
// thread, the question is put to the main stack and the thread gives way until it is answered.
std::optional<std::string> Ask(const std::string& filter) {
  if (!OnThreadStack()) return AskNow(filter);
  struct Pending {
    bool done = false;
    std::optional<std::string> answer;
    std::exception_ptr error;
  };
  auto pending = std::make_shared<Pending>();
  detail::EnsureQtApplication();
  QTimer::singleShot(0, QCoreApplication::instance(), [pending, filter] {
    try {
      pending->answer = AskNow(filter);
    } catch (...) {
      pending->error = std::current_exception();
    }
    pending->done = true;
    detail::WakeScheduler();
  });
  while (!pending->done) {
    detail::NoteIdlePoll();
    GiveWay();
  }
  if (pending->error) std::rethrow_exception(pending->error);
  return pending->answer;
}

}  // namespace

std::shared_ptr<FolderItem> GetOpenFolderItem(const std::string& filter) {
  std::optional<std::string> path = Ask(filter);
  if (!path || path->empty()) return nullptr;
  return std::make_shared<FolderItem>(*path);
}

namespace testing {
void SetOpenFileDialog(std::function<std::optional<std::string>(const std::string& filter)> dialog) {
  Seam() = std::move(dialog);
}
}  // namespace testing

}  // namespace framework
