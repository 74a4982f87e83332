#pragma once
#include "framework/files.h"

// The update file types, made and registered once at start-up.
namespace MyFileTypes {
void Initialize_();
// Lets the eight types go, in their order of creation (their registrations go with them).
void Release();
framework::FileType* BinConfig();
framework::FileType* GEN();
framework::FileType* ANZ();
}  // namespace MyFileTypes
