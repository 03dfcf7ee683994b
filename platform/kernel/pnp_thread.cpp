// The PnP thread: one operation at a time, as the PnP manager does.
#include "pnp_internal.h"
#include "serial_queue.h"

namespace wbk::pnpm {

void queue_pnp(std::function<void()> fn) {
  static auto *q =
      new serial_queue<std::function<void()>>(PASSIVE_LEVEL, nullptr, [](std::function<void()> &f) { f(); });
  q->push(std::move(fn));
}

}  // namespace wbk::pnpm
