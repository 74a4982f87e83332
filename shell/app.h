#pragma once
#include "framework/application.h"

// The application object: the framework's Application, with nothing of its own.
class App_ : public framework::Application {
 public:
  void Constructor() {}
};

// The registered application object.
App_* App();
