#pragma once
#include <string>

namespace framework {
// Shows the text in a modal message box, always from the main stack.
void MsgBox(const std::string& text);
}
