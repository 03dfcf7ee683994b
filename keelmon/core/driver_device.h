// Device-control access to a device of the outside acquisition driver: the request primitive, the
// capability query and the output attenuation setting.
#ifndef KEELMON_CORE_DRIVER_DEVICE_H
#define KEELMON_CORE_DRIVER_DEVICE_H

#include <windows.h>

#include <cstdint>
#include <deque>
#include <vector>

#include "core/acquisition_codes.h"

namespace keelmon {

class device_file;

// Twelve bytes, as the driver answers IOCTL_GET_CHANNEL_COUNTS.
struct channel_counts {
  uint16_t input_signal = 0;
  uint16_t input_process = 0;
  uint16_t input_digital = 0;
  uint16_t input_tacho = 0;
  uint16_t output_signal = 0;
  uint16_t output_digital = 0;
};
static_assert(sizeof(channel_counts) == 12, "the driver's block is 12 bytes");

// The driver's 8-byte information block.
struct info_block {
  uint32_t serial_number = 0;
  uint32_t device_version = 0;
};
static_assert(sizeof(info_block) == 8, "the driver's block is 8 bytes");

// A list reduced to its first value, last value and the step between values.
struct steps {
  int16_t first = 0;
  int16_t last = 0;
  int16_t step = 0;
};

// A two-phase list as the driver returned it: `count` items of 2 or 4 bytes.
struct value_list {
  uint32_t count = 0;
  uint32_t item_size = 0;
  std::vector<uint8_t> items;
  int32_t item(uint32_t i) const;  // sign-extended for 2-byte items
};

class driver_device {
 public:
  // With `query`, runs the capability query at once.
  driver_device(device_file& file, bool query);
  // Waits for the requests still outstanding before their records go.
  ~driver_device();
  driver_device(const driver_device&) = delete;
  driver_device& operator=(const driver_device&) = delete;

  // The request primitive. Synchronous: waits up to `timeout_ms` (INFINITE allowed) and reports the
  // returned size in *out_size. Asynchronous (overlapped files only): queues the request, `cookie` is
  // handed back by wait_oldest.
  bool control(bool synchronous, DWORD code, const void* in, DWORD in_size, void* out, DWORD* out_size,
               DWORD timeout_ms, ULONG_PTR cookie = 0);
  // Completes the oldest queued asynchronous request: its success, size and cookie. False when none is
  // queued, it is not done within the time-out, or it failed.
  bool wait_oldest(DWORD* size, DWORD timeout_ms, ULONG_PTR* cookie = nullptr);
  size_t pending() const { return queue_.size(); }

  // Reads every capability in order, stopping at the first failure (which clears all kept results).
  // True at once on a valid object.
  bool query();
  bool valid() const { return valid_; }

  // One dB x 100 value per output signal channel; bit d of the 64-bit mask selects channel d.
  bool set_output_attenuation(const std::vector<int32_t>& values, uint32_t mask_low, uint32_t mask_high);

  const channel_counts& counts() const { return counts_; }
  const info_block& info() const { return info_; }
  const steps& input_range_steps() const { return input_range_; }
  const steps& attenuation_steps() const { return attenuation_; }
  const value_list& input_list_32() const { return input_list_32_; }
  const value_list& list_16() const { return list_16_; }
  const value_list& list2_a() const { return list2_a_; }
  const value_list& list2_b() const { return list2_b_; }
  const value_list& list2_c() const { return list2_c_; }
  // The range of the 0x2918 list, when the driver gave one.
  bool has_list2_c_range() const { return has_list2_c_range_; }
  const steps& list2_c_range() const { return list2_c_range_; }
  const value_list& output_list_32() const { return output_list_32_; }

  // Reduces a list of i16 values to its steps (first, last, (last - first) / (n - 1)).
  static steps to_steps(const value_list& list);
  // The index k with first + k x step == value, or -1.
  static int step_index(const steps& s, int32_t value);

 private:
  struct request;

  request* new_request();
  void free_request(request* r);
  bool read_list(DWORD code, uint32_t item_size, value_list& out);
  bool read_fixed(DWORD code, void* out, DWORD size);
  bool run_query();
  void clear_results();
  // Frees abandoned records whose requests have completed since.
  void reap_abandoned(DWORD wait_ms);

  device_file& file_;
  bool valid_ = false;
  std::deque<request*> queue_;
  std::vector<request*> abandoned_;  // timed-out synchronous requests, freed once done
  channel_counts counts_;
  info_block info_;
  steps input_range_;
  steps attenuation_;
  value_list input_list_32_;
  value_list list_16_;
  value_list list2_a_;
  value_list list2_b_;
  value_list list2_c_;
  bool has_list2_c_range_ = false;
  steps list2_c_range_;
  value_list output_list_32_;
};

}  // namespace keelmon

#endif
