// The transport for instruments behind the kernel driver: device interfaces found through the device
// installer, opened as files, watched through notifier windows.
#ifndef QUILLON_IO_PROTOCOL_WDM_H
#define QUILLON_IO_PROTOCOL_WDM_H

#include <windows.h>

#include <map>
#include <string>

#include <w32cpp/handle.h>

#include "io_protocol_fileio.h"
#include "msg_notifier.h"

namespace fileio {

class io_protocol_wdm : public io_protocol_fileio {
 public:
  io_protocol_wdm();
  ~io_protocol_wdm() override;

  karnet::interface_list enumerate(karnet::guid interface_class) override;
  void watch(karnet::guid interface_class) override;
  void unwatch(karnet::guid interface_class) override;
  // The library's protocol holder while it holds this object; empty once the transport was stopped.
  karnet::protocol_handle self() override;
  karnet::device_handle open(std::string name) override;
  void close(karnet::device_handle* handle) override;

  // Ends every notifier (the transport stops).
  void unwatch_all();

  // The library's protocol holder: set by start, emptied by stop.
  static karnet::protocol_handle current();
  // The holder's handle when it holds `protocol` (compared, not dereferenced); else empty.
  static karnet::protocol_handle handle_of(const io_protocol_wdm* protocol);
  static bool install(const w32cpp::auto_handle<io_protocol_wdm>& protocol);
  static w32cpp::auto_handle<io_protocol_wdm> uninstall();

 private:
  CRITICAL_SECTION lock_;  // guards the notifier map, never held while a notifier ends
  std::map<karnet::guid, w32cpp::auto_handle<msg_notifier>> notifiers_;
};

// The module instance of the library, for the notifier windows.
HINSTANCE module_instance();

}  // namespace fileio

#endif
