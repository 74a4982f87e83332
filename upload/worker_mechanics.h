#pragma once
// What the three upload workers share: sends, the reply wait, status updates and Sum8.
// Every access goes through Window1() afresh: a worker keeps no reference to the window.
#include <cstdint>
#include <string>
#include <vector>

#include "framework/memoryblock.h"
#include "window/window1.h"

namespace upload {

inline const std::string CR = "\r";
inline const std::string LF = "\n";

// A reply line as the instrument sends it: the text, then CR LF.
inline std::string ReplyLine(const std::string& text) { return text + CR + LF; }

// Called before an upload's first send: from then on the link is the upload's. The console's
// wait for a reply ends, and input that came before and that no one took (a console reply
// nobody waited for any more, the LF of a reply whose CR came alone) is dropped, so that it
// cannot stand in front of the first acknowledgement.
void TakeTheLink();

// A write on the port followed at once by the wait until it is sent.
void Send(const std::string& bytes);
// The command text (which ends in CR already) in one write.
inline void SendCommand(const std::string& command) { Send(command); }
// One byte, in a write of its own.
void SendByte(int value);
// The buffer's first n bytes as one write, unchanged.
void SendBlock(const framework::MemoryBlock& buffer, std::size_t n);

enum class Pass { Plain, Erase };
// Empties Reply, then waits until it equals one of the expected replies, compared in the
// order given; gives the index of the one that matched. Each pass without a match polls
// the port (in the erase wait also redraws the bar) and gives way. No time-out.
std::size_t WaitForReply(const std::vector<std::string>& expected, Pass pass = Pass::Plain);
// The same wait without emptying Reply first.
std::size_t AwaitReply(const std::vector<std::string>& expected, Pass pass = Pass::Plain);

// Status update: set the label's text, then redraw it at once.
using LabelAccessor = framework::Label* (Window1_::*)();
void Show(LabelAccessor label, const std::string& text);
void ShowProgressMaximum(int maximum);
void ShowProgressValue(int value);

// Sum8: the sum of byte values, modulo 256.
inline std::uint8_t Sum8Add(std::uint8_t sum, std::uint8_t byte) {
  return static_cast<std::uint8_t>(sum + byte);
}

}  // namespace upload
