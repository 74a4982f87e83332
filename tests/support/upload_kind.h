#pragma once
// The three uploads as the tests name them: which worker runs each and which button starts it.
#include <ostream>

namespace framework {
class PushButton;
class Thread;
}  // namespace framework
class Window1_;

namespace testsupport {

enum class Upload { Bin, Gen, Anz };

const char* NameOf(Upload u);
inline void PrintTo(Upload u, std::ostream* os) { *os << NameOf(u); }

framework::Thread* WorkerOf(Window1_* w, Upload u);
framework::PushButton* LauncherOf(Window1_* w, Upload u);

}  // namespace testsupport
