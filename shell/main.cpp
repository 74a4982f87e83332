#include "shell/startup.h"

int main() {
  shell::MainBegin();
  shell::Main_();
  return shell::MainEnd();
}
