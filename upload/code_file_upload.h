#pragma once
// The record sequence shared by the .gen and .anz uploads, with the table of their
// differences.
#include <string>

#include "upload/worker_mechanics.h"

namespace upload {

struct CodeFile {
  LabelAccessor ownStatus;  // the file's status label
  std::string errorOpening;
  std::string eraseCommand, recordCommand, doneCommand;  // each ends in CR
  std::string erasing;
  int progressMaximum;
  std::string loading, noS, loadDone, fileError, checksumError;
};

const CodeFile& GenCodeFile();
const CodeFile& AnzCodeFile();

// One whole code file upload, from the file test to the closed stream. False when the run
// ended at once for want of a file (nothing was sent).
bool RunCodeFileUpload(const CodeFile& file);

// What the ANZ processor needs after its code: the wait for its configuration.
void AwaitAnzConfiguration();

}  // namespace upload
