#include "framework/application.h"
#include "shell/startup.h"

int main() { return framework::RuntimeMain(shell::Program()); }
