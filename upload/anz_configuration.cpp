// After its code the ANZ processor configures itself: wait, ask once, then wait for
// "AYES OK", counting up to 20 "ANO OK" cycles of 500 ms.
#include "shell/app.h"
#include "framework/thread.h"
#include "upload/code_file_upload.h"

namespace upload {

void AwaitAnzConfiguration() {
  const std::string AYES_OK = ReplyLine("AYES OK");
  const std::string ANO_OK = ReplyLine("ANO OK");
  std::int32_t cycles = 0;

  Show(&Window1_::StatusText, "Wait - ANZ Configuring");
  const std::string query = "@InitDone?" + CR;
  App()->SleepCurrentThread(8000);
  Window1()->GetEntireReply = false;
  // Emptied before the query, not after: an answer that comes in during the send stays.
  Window1()->Reply = "";
  Send(query);

  while (cycles < 20) {
    AwaitReply({AYES_OK, ANO_OK});
    if (Window1()->Reply == AYES_OK) {
      Show(&Window1_::StatusText, "ANZ Configuration Complete");
      cycles = 100;
    }
    if (Window1()->Reply == ANO_OK) {
      App()->SleepCurrentThread(500);
      ++cycles;
    }
    framework::GiveWay();
  }
  Window1()->StatusText()->Refresh(true);
}

}  // namespace upload
