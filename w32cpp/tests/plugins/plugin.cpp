#include <w32cpp/loader.h>

#include "plugin_api.h"

namespace {

w32t::log_fn g_log = nullptr;

void log_event(const char *event) {
  if (g_log)
    g_log(event);
}

class plugin_impl : public w32t::iplugin {
public:
  plugin_impl() { log_event("singleton created"); }
  ~plugin_impl() override { log_event("singleton destroyed"); }
  int variant() const override { return W32T_VARIANT; }
};

// Declared before the global handle so that it goes after it at module end.
struct module_end_marker {
  ~module_end_marker() { log_event("module end"); }
} g_marker;

w32cpp::auto_handle<w32t::iplugin> g_instance;

} // namespace

W32CPP_FACTORY_EXPORT w32cpp::auto_handle<w32t::iplugin> *w32t_plugin_get_instance() {
  return w32cpp::factory_instance<plugin_impl>(g_instance);
}

W32CPP_FACTORY_EXPORT void w32t_set_log(w32t::log_fn fn) { g_log = fn; }
