// The program as main runs it, with its port list and lock folder replaced: the device and
// the lock folder come from the command line. Tests that reach the program from outside
// (signals, a real X window) start it.
#include <cstdio>

#include "framework/application.h"
#include "framework/testing.h"
#include "shell/startup.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DEVICE LOCK-FOLDER\n", argv[0]);
    return 2;
  }
  framework::testing::SetSerialPorts({{"sim", argv[1]}});
  framework::testing::SetLockFolders({argv[2]});
  return framework::RuntimeMain(shell::Program());
}
