// The platform's one clock, the long-wait scaling, and the calls that read the clock.
#include <standin/clock.h>

#include <cmath>
#include <cstdlib>

#include "internal.h"

namespace wb {

// ---- clock -------------------------------------------------------------------------------

namespace {

struct clock_state {
  std::atomic<uint32_t> tick_offset{0};
  std::atomic<double> scale{1.0};
  std::atomic<uint32_t> threshold{5000};
  clock_state() {
    if (const char *s = std::getenv("ZEPH_WAIT_SCALE")) {
      char *end = nullptr;
      double v = std::strtod(s, &end);
      if (end != s && v >= 0.0) scale.store(v);
    }
  }
};

clock_state &clk() {
  static auto *c = new clock_state;
  return *c;
}

}  // namespace

uint64_t clock_now_ns() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

DWORD scale_wait_ms(DWORD ms) {
  if (ms == INFINITE || ms < clk().threshold.load()) return ms;
  double v = std::ceil(static_cast<double>(ms) * clk().scale.load());
  if (v >= static_cast<double>(INFINITE)) return INFINITE - 1;
  return static_cast<DWORD>(v);
}

uint64_t scale_wait_ns(uint64_t ns) {
  if (ns < static_cast<uint64_t>(clk().threshold.load()) * 1000000ull) return ns;
  double v = static_cast<double>(ns) * clk().scale.load();
  constexpr uint64_t k_max = 1ull << 62;  // far enough to mean never, and safe to add to the clock
  if (v >= static_cast<double>(k_max)) return k_max;
  return static_cast<uint64_t>(v);
}

uint64_t filetime_now() {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
  return static_cast<uint64_t>(ns / 100) + 116444736000000000ull;
}

}  // namespace wb

using namespace wb;

extern "C" {

DWORD WINAPI GetTickCount(void) {
  return static_cast<DWORD>(clock_now_ns() / 1000000ull) + clk().tick_offset.load();
}

ULONGLONG WINAPI GetTickCount64(void) { return clock_now_ns() / 1000000ull + clk().tick_offset.load(); }

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *count) {
  if (!count) {
    set_last_error(ERROR_NOACCESS);
    return FALSE;
  }
  count->QuadPart = static_cast<LONGLONG>(clock_now_ns() / 100);
  return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *freq) {
  if (!freq) {
    set_last_error(ERROR_NOACCESS);
    return FALSE;
  }
  freq->QuadPart = 10000000;
  return TRUE;
}

}  // extern "C"

namespace standin::clock {

void set_tick_offset(std::uint32_t offset) { clk().tick_offset.store(offset); }
std::uint32_t tick_offset() { return clk().tick_offset.load(); }
void set_tick_count(std::uint32_t value) {
  clk().tick_offset.store(value - static_cast<std::uint32_t>(clock_now_ns() / 1000000ull));
}
void set_long_wait_scale(double factor, std::uint32_t threshold_ms) {
  clk().scale.store(factor < 0.0 ? 0.0 : factor);
  clk().threshold.store(threshold_ms);
}
double long_wait_scale() { return clk().scale.load(); }
std::uint32_t long_wait_threshold() { return clk().threshold.load(); }
std::uint32_t scaled(std::uint32_t ms) { return scale_wait_ms(ms); }
void reset() {
  clk().tick_offset.store(0);
  clk().scale.store(1.0);
  clk().threshold.store(5000);
}

}  // namespace standin::clock
