// Test control of the platform clock: tick-count offset (to cross the 32-bit wrap) and scaling of
// the system's long fixed waits.
#ifndef STANDIN_CLOCK_H
#define STANDIN_CLOCK_H

#include <cstdint>

namespace standin::clock {

// GetTickCount() reads the platform's milliseconds plus this offset, modulo 2^32.
void set_tick_offset(std::uint32_t offset);
std::uint32_t tick_offset();
// Sets the offset so that GetTickCount() reads `value` right now (e.g. 0xFFFFFFFF - 500).
void set_tick_count(std::uint32_t value);

// Waits, sleeps and timer periods of at least `threshold_ms` last `factor` times as long
// (factor 0.01 turns a 60 s wait into 600 ms). Shorter waits are never scaled; INFINITE stays
// INFINITE. The environment variable ZEPH_WAIT_SCALE sets the factor at start-up.
void set_long_wait_scale(double factor, std::uint32_t threshold_ms = 5000);
double long_wait_scale();
std::uint32_t long_wait_threshold();
// How long a wait of `ms` lasts with the current scaling.
std::uint32_t scaled(std::uint32_t ms);

// Puts the defaults back: offset 0, factor 1, threshold 5000.
void reset();

}  // namespace standin::clock

#endif
