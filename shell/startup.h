#pragma once
#include <exception>
// The life of the process, in the steps that main runs. The same three routines are made
// known to the framework as the process loads, so that its testing entry runs them too.

namespace shell {
void MainBegin();   // the runtime started, the classes described
void Main_();       // start-up in the framework's initialisation, then the event loop
int MainEnd();      // the release steps, then the runtime's end; gives the exit status
}  // namespace shell

void Startup_();
void InitFileTypes_();
void NewAppInstance_();
void ApplicationAddMenuHandlers_();
void MakeDefaultView_();
std::exception_ptr CallFunctionWithExceptionHandling_(void (*routine)(void*), void* argument);
void UnhandledException_(std::exception_ptr exception);
