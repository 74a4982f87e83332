#pragma once
#include "framework/thread.h"

// The three upload workers: each run is one whole upload of the file chosen last.
class SendConfigFile : public framework::Thread {
 public:
  void Event_Run() override;  // the .bin FPGA configuration image
};

class SendGenMPUCode : public framework::Thread {
 public:
  void Event_Run() override;  // the .gen code file, to the GEN processor
};

class SendAnzMPUCode : public framework::Thread {
 public:
  void Event_Run() override;  // the .anz code file, to the ANZ processor, then its configuration
};
