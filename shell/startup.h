#pragma once
#include <exception>

#include "framework/application.h"
// The life of the process, in three steps. main hands them to the framework's runtime
// entry; the tests hand the same steps to the testing entry, so they start what main starts.

namespace shell {
void MainBegin();   // the runtime started, the classes described
void Main_();       // start-up in the framework's initialisation, then the event loop
int MainEnd();      // the release steps, then the runtime's end; gives the exit status
// The three steps above, in their order.
framework::ProgramSteps Program();
}  // namespace shell

void Startup_();
void InitFileTypes_();
void NewAppInstance_();
void ApplicationAddMenuHandlers_();
void MakeDefaultView_();
std::exception_ptr CallFunctionWithExceptionHandling_(void (*routine)(void*), void* argument);
void UnhandledException_(std::exception_ptr exception);
