#include "shell/startup.h"

#include "framework/application.h"
#include "shell/app.h"
#include "shell/menubar1.h"
#include "shell/my_file_types.h"
#include "window/window1.h"

std::exception_ptr CallFunctionWithExceptionHandling_(void (*routine)(void*), void* argument) {
  try {
    routine(argument);
  } catch (const framework::RuntimeException&) {
    return std::current_exception();
  }
  return nullptr;
}

void UnhandledException_(std::exception_ptr exception) {
  framework::RuntimeUnhandledException(exception);
}

void InitFileTypes_() { MyFileTypes::Initialize_(); }

void NewAppInstance_() {
  auto* app = new App_;
  app->Constructor();
  app->SetMenuBar(MenuBar1());
  framework::RuntimeRegisterAppObject(app);
}

void ApplicationAddMenuHandlers_() {}

void MakeDefaultView_() { static_cast<void>(Window1()); }

void Startup_() {
  framework::RuntimeInitExternalClasses();
  framework::RuntimeAllocatePluginEntrypointsTable(0);
  InitFileTypes_();
  NewAppInstance_();
  ApplicationAddMenuHandlers_();
  MakeDefaultView_();
}

namespace shell {

void MainBegin() {
  framework::RuntimeInit();
  // The run-time class descriptions are the compiler's: nothing to do here.
}

void Main_() {
  try {
    framework::RuntimeSetExceptionHelper(&CallFunctionWithExceptionHandling_);
    framework::RunFrameworkInitialization(&Startup_);
    framework::RuntimeRun();
  } catch (...) {
    UnhandledException_(std::current_exception());
  }
}

int MainEnd() {
  framework::RuntimeReleaseModuleObjects();
  ReleaseMenuBar1();
  MyFileTypes::Release();
  return framework::RuntimeExit();
}

framework::ProgramSteps Program() { return {&MainBegin, &Main_, &MainEnd}; }

}  // namespace shell
