#pragma once
// The name filter that the open-file dialog is given for a file type; kept apart from the
// dialog so that it can be checked without showing one.
#include <string>

#include "framework/files.h"

namespace framework::detail {

// "Name (*.ext1 *.ext2)" from the type's ";"-separated extensions, which may or may not
// begin with a dot ("bin" and ".bin" both give "*.bin"); a type without extensions gives
// "Name (*)".
std::string OpenDialogFilter(const FileTypeEntry& type);
// The filter for the registered type of that name; a name that no registered type bears
// lets every file through ("All Files (*)").
std::string OpenDialogFilter(const std::string& typeName);

}  // namespace framework::detail
