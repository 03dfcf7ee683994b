#include <w32cpp/loader.h>

#include "plugin_api.h"

// A library that binds to w32t_plugin on its own, as one product library binds to another.
namespace {
w32cpp::dynamic_link_instance<w32t::iplugin> *g_binding = nullptr;
}

W32CPP_FACTORY_EXPORT int w32t_client_bind() {
  delete g_binding;
  g_binding = new w32cpp::dynamic_link_instance<w32t::iplugin>("w32t_plugin", "w32t_plugin_get_instance");
  return *g_binding ? (*g_binding)->variant() : 0;
}

W32CPP_FACTORY_EXPORT void w32t_client_release() {
  delete g_binding;
  g_binding = nullptr;
}
