// The USB transport library's entry points: the factory of its interface and the module entry.
#include <windows.h>

#include <w32cpp/export.h>
#include <w32cpp/handle.h>
#include <w32cpp/loader.h>
#include <w32cpp/trace.h>

#include <quillon/iapi.h>

#include "io_protocol_wdm.h"

namespace fileio {

namespace {

HINSTANCE g_module = nullptr;

class api_imp : public iapi {
 public:
  api_imp() = default;
  ~api_imp() override {
    api_imp::stop();
    trace_ << "api destruction\n";
  }

  void start() override {
    if (io_protocol_wdm::current()) return;
    w32cpp::auto_handle<io_protocol_wdm> protocol(new io_protocol_wdm());
    if (!io_protocol_wdm::install(protocol)) return;
    protocol->start();
  }

  void stop() override {
    if (karnet::protocol_handle registered = io_protocol_wdm::current()) {
      // Still installed while the device manager lets go of it, so that self() answers.
      registered->stop();
      w32cpp::auto_handle<io_protocol_wdm> protocol = io_protocol_wdm::uninstall();
      // Classes the manager never had devices of stay watched: end their notifiers now, before the
      // protocol goes, so that no notice arrives for a stopped transport.
      if (protocol) protocol->unwatch_all();
    }
    // Notifiers retired on their window threads: none may still run when the library goes.
    msg_notifier::reap(true);
  }

  karnet::protocol_handle protocol() override { return io_protocol_wdm::current(); }

 private:
  w32cpp::DBGTrace trace_{"fileio"};
};

w32cpp::auto_handle<iapi> g_instance;

}  // namespace

HINSTANCE module_instance() { return g_module; }

}  // namespace fileio

W32CPP_FACTORY_EXPORT w32cpp::auto_handle<fileio::iapi>* quillon_get_instance() {
  return w32cpp::factory_instance<fileio::api_imp>(fileio::g_instance);
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    fileio::g_module = module;
    DisableThreadLibraryCalls(module);
  }
  return TRUE;
}
