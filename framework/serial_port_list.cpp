// The system's port list: the serial devices the system reports, in the order the port
// list shows them (built-in UARTs first, then anything else, USB adapters and CDC devices
// last, natural name order within each group), and the snapshot by which an index keeps
// naming the device its row showed.
#include <QSerialPortInfo>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "framework/detail.h"
#include "framework/serial.h"
#include "framework/testing.h"

namespace framework {

namespace {

std::optional<std::vector<framework::SerialPort>>& ReplacedList() {
  static std::optional<std::vector<framework::SerialPort>> list;
  return list;
}

// The list that SerialPortCount last reported, so that SerialPort(i) keeps naming the
// device that row i showed even if devices come and go afterwards.
struct Snapshot {
  bool taken = false;
  std::vector<framework::SerialPort> ports;
};
Snapshot& CurrentSnapshot() {
  static Snapshot s;
  return s;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// 0: built-in UARTs, 1: anything else, 2: USB adapters and CDC devices, the likeliest
// instrument, which start-up opens because it is last.
int Group(const detail::PortListEntry& e) {
  static const char* const usb[] = {"ttyUSB", "ttyACM", "cu.usb", "tty.usb", "cu.SLAB",
                                    "tty.SLAB", "cu.wchusb", "tty.wchusb"};
  for (const char* p : usb)
    if (StartsWith(e.Name, p)) return 2;
  if (e.HasVendorId) return 2;
  static const char* const builtin[] = {"ttyS", "ttyAMA", "ttyO", "ttySAC", "ttymxc", "ttyTHS",
                                        "ttyMSM", "ttyHS"};
  for (const char* p : builtin)
    if (StartsWith(e.Name, p)) return 0;
  return 1;
}

// Natural order: runs of digits compare by value, so ttyS2 comes before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = a[i] >= '0' && a[i] <= '9';
    const bool db = b[j] >= '0' && b[j] <= '9';
    if (da && db) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && a[ei] >= '0' && a[ei] <= '9') ++ei;
      while (ej < b.size() && b[ej] >= '0' && b[ej] <= '9') ++ej;
      std::size_t zi = i, zj = j;  // leading zeros do not count for the value
      while (zi + 1 < ei && a[zi] == '0') ++zi;
      while (zj + 1 < ej && b[zj] == '0') ++zj;
      if (ei - zi != ej - zj) return ei - zi < ej - zj;
      const int c = a.compare(zi, ei - zi, b, zj, ej - zj);
      if (c != 0) return c < 0;
      if (ei - i != ej - j) return ei - i < ej - j;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

}  // namespace

namespace detail {

std::vector<framework::SerialPort> OrderPortList(std::vector<PortListEntry> entries) {
  std::stable_sort(entries.begin(), entries.end(), [](const PortListEntry& a, const PortListEntry& b) {
    const int ga = Group(a), gb = Group(b);
    if (ga != gb) return ga < gb;
    if (a.Name != b.Name) return NaturalLess(a.Name, b.Name);
    return NaturalLess(a.Path, b.Path);
  });
  std::vector<framework::SerialPort> ports;
  ports.reserve(entries.size());
  for (PortListEntry& e : entries) ports.push_back({std::move(e.Name), std::move(e.Path)});
  return ports;
}

std::vector<framework::SerialPort> SystemPortList() {
  if (ReplacedList()) return *ReplacedList();
  std::vector<PortListEntry> entries;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
    entries.push_back({info.portName().toStdString(), info.systemLocation().toStdString(),
                       info.hasVendorIdentifier()});
  return OrderPortList(std::move(entries));
}

}  // namespace detail

int System::SerialPortCount() {
  Snapshot& s = CurrentSnapshot();
  s.ports = detail::SystemPortList();
  s.taken = true;
  return static_cast<int>(s.ports.size());
}

framework::SerialPort System::SerialPort(int index) {
  Snapshot& s = CurrentSnapshot();
  if (!s.taken) {
    s.ports = detail::SystemPortList();
    s.taken = true;
  }
  if (index < 0 || index >= static_cast<int>(s.ports.size())) return {};
  return s.ports[static_cast<std::size_t>(index)];
}

namespace testing {

void SetSerialPorts(std::vector<SerialPortEntry> ports) {
  std::vector<framework::SerialPort> list;
  list.reserve(ports.size());
  for (SerialPortEntry& p : ports) list.push_back({std::move(p.Name), std::move(p.Path)});
  ReplacedList() = std::move(list);
  CurrentSnapshot() = Snapshot{};
}

}  // namespace testing

}  // namespace framework
