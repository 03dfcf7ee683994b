// The PnP thread: one operation at a time, as the PnP manager does.
#include "pnp_internal.h"

namespace wbk::pnpm {

namespace {

struct pnp_queue {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::function<void()>> q;
  bool started = false;
};
pnp_queue &pnpq() {
  static auto *p = new pnp_queue;
  return *p;
}
void pnp_thread_main() {
  auto &p = pnpq();
  set_irql(PASSIVE_LEVEL);
  std::unique_lock<std::mutex> l(p.mu);
  for (;;) {
    p.cv.wait(l, [&] { return !p.q.empty(); });
    auto fn = std::move(p.q.front());
    p.q.pop_front();
    l.unlock();
    fn();
    busy_leave();
    l.lock();
  }
}

}  // namespace

void queue_pnp(std::function<void()> fn) {
  auto &p = pnpq();
  busy_enter();
  std::lock_guard<std::mutex> l(p.mu);
  p.q.push_back(std::move(fn));
  if (!p.started) {
    p.started = true;
    std::thread(pnp_thread_main).detach();
  }
  p.cv.notify_one();
}

}  // namespace wbk::pnpm
