#pragma once
// The serial port object (serial.cpp) and the system's port list (serial_port_list.cpp).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "framework/control.h"
#include "framework/strings.h"

namespace framework {

// One entry of the system's port list.
struct SerialPort {
  std::string Name;  // as shown to the user
  std::string Path;  // the device that Open opens; empty for an index with no device
};

class System {
 public:
  static int SerialPortCount();
  // An index with no device gives an entry with an empty path, which Open refuses.
  static framework::SerialPort SerialPort(int index);
};

class SerialLine;  // the platform side
class Serial;

// Pending input, looked at where it lies: a view of the port's input buffer, read at each
// use (so it follows the buffer until the input is taken). Input that stays pending only
// grows at its end, so InStr on it goes on where its last search for the same text stopped
// and a hand-off costs what arrived since, not what waits.
class PendingInput {
 public:
  explicit PendingInput(const Serial* port) : port_(port) {}
  std::string_view View() const;
  operator std::string_view() const { return View(); }
  operator std::string() const { return std::string(View()); }
  std::size_t size() const { return View().size(); }
  bool empty() const { return View().empty(); }
  std::size_t find(std::string_view text, std::size_t from = 0) const { return View().find(text, from); }
  friend bool operator==(const PendingInput& a, std::string_view b) { return a.View() == b; }

 private:
  friend int InStr(const PendingInput& text, const std::string& find);
  const Serial* port_;
};

// 1-based position of find in the pending input, 0 when absent.
int InStr(const PendingInput& text, const std::string& find);

class Serial : public Control {
 public:
  // Speed codes of Baud.
  enum : int {
    Baud300 = 0, Baud600 = 1, Baud1200 = 2, Baud1800 = 3, Baud2400 = 4, Baud3600 = 5,
    Baud4800 = 6, Baud7200 = 7, Baud9600 = 8, Baud14400 = 9, Baud19200 = 10, Baud28800 = 11,
    Baud38400 = 12, Baud57600 = 13, Baud115200 = 14, Baud230400 = 15
  };
  // Bits codes: 0 = 5 ... 3 = 8 data bits. Parity: 0 none, 1 odd, 2 even. Stop: 0 one, 1 1.5, 2 two.
  Serial();
  ~Serial() override;

  int Baud() const { return baud_; }
  void SetBaud(int code) { baud_ = code; }
  static int BitsPerSecond(int code);  // 0 for an unknown code
  int Bits() const { return bits_; }
  void SetBits(int code) { bits_ = code; }
  int Parity() const { return parity_; }
  void SetParity(int code) { parity_ = code; }
  int Stop() const { return stop_; }
  void SetStop(int code) { stop_ = code; }
  bool XON() const { return xon_; }
  void SetXON(bool on) { xon_ = on; }
  bool CTS() const { return cts_; }
  void SetCTS(bool on) { cts_ = on; }
  bool DTR() const { return dtr_; }
  void SetDTR(bool on) { dtr_ = on; }

  framework::SerialPort SerialPort() const { return port_; }
  void SetSerialPort(const framework::SerialPort& port) { port_ = port; }

  // Opens the chosen device with the current settings; input left over in the driver is dropped.
  bool Open();
  bool IsOpen() const;
  void Close();  // harmless when not open
  void Flush();  // drops what is buffered; harmless when closed
  void Reset();  // applies the current speed to an open port

  // Queues the bytes unchanged; on a closed port nothing is sent and Error is raised once,
  // later, from the event loop.
  void Write(const std::string& data);
  // Returns once every written byte is in the driver, running no handler meanwhile.
  void XmitWait();
  // Input that has arrived reaches DataAvailable within the call.
  void Poll();
  std::string ReadAll(const TextEncoding* encoding = nullptr);
  PendingInput LookAhead(const TextEncoding* encoding = nullptr) const;
  std::size_t BytesAvailable() const;
  // Text of the last error, for diagnostics ("" when none).
  std::string LastErrorText() const;

  std::function<void(Serial*)> DataAvailable;
  std::function<void(Serial*)> Error;

 private:
  friend class SerialLine;
  friend class PendingInput;
  friend int InStr(const PendingInput& text, const std::string& find);
  int baud_ = Baud9600, bits_ = 3, parity_ = 0, stop_ = 0;
  bool xon_ = false, cts_ = false, dtr_ = false;
  framework::SerialPort port_;
  std::unique_ptr<SerialLine> line_;
};

}  // namespace framework
