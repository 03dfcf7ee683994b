#include <w32cpp/loader.h>

#include "plugin_api.h"

// A factory that has nothing to give.
W32CPP_FACTORY_EXPORT w32cpp::auto_handle<w32t::iplugin> *w32t_null_get_instance() { return nullptr; }
