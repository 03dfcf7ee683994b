// What the loader tests' libraries offer.
#ifndef W32T_PLUGIN_API_H
#define W32T_PLUGIN_API_H

namespace w32t {

class iplugin {
public:
  virtual ~iplugin() = default;
  // Tells apart copies of one library built for different folders.
  virtual int variant() const = 0;
};

// Receives the library's life events: "singleton created", "singleton destroyed", "module end".
using log_fn = void (*)(const char *event);

} // namespace w32t

#endif
