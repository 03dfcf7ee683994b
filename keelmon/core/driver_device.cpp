#include "core/driver_device.h"

#include <cstring>

#include "core/device_file.h"

namespace keelmon {

namespace {

// A list longer than this is not believed: the second phase would need an absurd buffer.
constexpr uint32_t max_list_items = 0x10000;
constexpr DWORD status_pending = 0x103;
// How long the destructor waits for a request it cancelled.
constexpr DWORD cancel_wait_ms = 5000;

}  // namespace

// One overlapped request. A synchronous request keeps its output here, so that a request that
// outlives its wait never writes into a buffer its caller has already given up.
struct driver_device::request {
  OVERLAPPED ov;
  HANDLE event;
  const void* in;
  DWORD in_size;
  void* out;
  DWORD out_size;
  ULONG_PTR cookie;
  unsigned char* own_out;
};

int32_t value_list::item(uint32_t i) const {
  if (i >= count) return 0;
  if (item_size == 2) {
    int16_t v;
    std::memcpy(&v, items.data() + 2 * i, 2);
    return v;
  }
  uint32_t v;
  std::memcpy(&v, items.data() + 4 * i, 4);
  return static_cast<int32_t>(v);
}

driver_device::driver_device(device_file& file, bool query) : file_(file) {
  if (query) this->query();
}

driver_device::~driver_device() {
  std::vector<request*> left(queue_.begin(), queue_.end());
  left.insert(left.end(), abandoned_.begin(), abandoned_.end());
  queue_.clear();
  abandoned_.clear();
  if (!left.empty() && file_.is_open()) CancelIo(file_.handle());
  for (request* r : left) {
    // A request the driver still holds keeps its record: freeing it would let the completion write
    // into freed memory.
    if (WaitForSingleObject(r->event, cancel_wait_ms) == WAIT_OBJECT_0) free_request(r);
  }
}

driver_device::request* driver_device::new_request() {
  HANDLE heap = file_.heap();
  if (!heap) return nullptr;
  auto* r = static_cast<request*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(request)));
  if (!r) return nullptr;
  r->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!r->event) {
    HeapFree(heap, 0, r);
    return nullptr;
  }
  r->ov.hEvent = r->event;
  return r;
}

void driver_device::free_request(request* r) {
  if (!r) return;
  CloseHandle(r->event);
  if (r->own_out) HeapFree(file_.heap(), 0, r->own_out);
  HeapFree(file_.heap(), 0, r);
}

void driver_device::reap_abandoned(DWORD wait_ms) {
  for (auto it = abandoned_.begin(); it != abandoned_.end();) {
    if (WaitForSingleObject((*it)->event, wait_ms) == WAIT_OBJECT_0) {
      free_request(*it);
      it = abandoned_.erase(it);
    } else {
      ++it;
    }
  }
}

bool driver_device::control(bool synchronous, DWORD code, const void* in, DWORD in_size, void* out, DWORD* out_size,
                            DWORD timeout_ms, ULONG_PTR cookie) {
  HANDLE h = file_.handle();
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD capacity = out_size ? *out_size : 0;
  if (!out) capacity = 0;
  if (file_.synchronous()) {
    if (!synchronous) return false;
    DWORD got = 0;
    BOOL ok = DeviceIoControl(h, code, const_cast<void*>(in), in_size, out, capacity, &got, nullptr);
    if (out_size) *out_size = got;
    return ok != FALSE;
  }
  reap_abandoned(0);
  request* r = new_request();
  if (!r) return false;
  void* target = out;
  if (synchronous && capacity) {
    r->own_out = static_cast<unsigned char*>(HeapAlloc(file_.heap(), HEAP_ZERO_MEMORY, capacity));
    if (!r->own_out) {
      free_request(r);
      return false;
    }
    target = r->own_out;
  }
  if (DeviceIoControl(h, code, const_cast<void*>(in), in_size, target, capacity, nullptr, &r->ov)) {
    SetEvent(r->event);
  } else if (GetLastError() != ERROR_IO_PENDING) {
    free_request(r);
    return false;
  }
  if (!synchronous) {
    r->in = in;
    r->in_size = in_size;
    r->out = out;
    r->out_size = capacity;
    r->cookie = cookie;
    queue_.push_back(r);
    return true;
  }
  if (WaitForSingleObject(r->event, timeout_ms) != WAIT_OBJECT_0) {
    abandoned_.push_back(r);
    return false;
  }
  ResetEvent(r->event);
  DWORD got = 0;
  BOOL ok = GetOverlappedResult(h, &r->ov, &got, FALSE);
  if (got > capacity) got = capacity;
  if (ok && got) std::memcpy(out, r->own_out, got);
  if (out_size) *out_size = ok ? got : 0;
  free_request(r);
  return ok != FALSE;
}

bool driver_device::wait_oldest(DWORD* size, DWORD timeout_ms, ULONG_PTR* cookie) {
  if (queue_.empty()) return false;
  request* r = queue_.front();
  if (WaitForSingleObject(r->event, timeout_ms) != WAIT_OBJECT_0) return false;
  if (r->ov.Internal == status_pending) return false;
  DWORD got = 0;
  BOOL ok = GetOverlappedResult(file_.handle(), &r->ov, &got, FALSE);
  ResetEvent(r->event);
  if (size) *size = got;
  if (cookie) *cookie = r->cookie;
  queue_.pop_front();
  free_request(r);
  return ok != FALSE;
}

bool driver_device::read_fixed(DWORD code, void* out, DWORD size) {
  DWORD got = size;
  return control(true, code, nullptr, 0, out, &got, INFINITE) && got == size;
}

bool driver_device::read_list(DWORD code, uint32_t item_size, value_list& out) {
  uint32_t phase = LUME_LIST_COUNT;
  uint32_t count = 0;
  DWORD got = sizeof count;
  if (!control(true, code, &phase, sizeof phase, &count, &got, INFINITE) || got != sizeof count) return false;
  if (count == 0 || count > max_list_items) return false;
  std::vector<uint8_t> items(static_cast<size_t>(count) * item_size);
  phase = LUME_LIST_ITEMS;
  got = static_cast<DWORD>(items.size());
  if (!control(true, code, &phase, sizeof phase, items.data(), &got, INFINITE)) return false;
  if (got != items.size()) return false;
  out.count = count;
  out.item_size = item_size;
  out.items = std::move(items);
  return true;
}

steps driver_device::to_steps(const value_list& list) {
  steps s;
  if (list.count == 0) return s;
  s.first = static_cast<int16_t>(list.item(0));
  s.last = static_cast<int16_t>(list.item(list.count - 1));
  if (list.count >= 2) s.step = static_cast<int16_t>((s.last - s.first) / static_cast<int32_t>(list.count - 1));
  return s;
}

int driver_device::step_index(const steps& s, int32_t value) {
  if (s.last < s.first) return -1;
  if (s.step == 0) return s.first == s.last && value == s.first ? 0 : -1;
  if (s.step < 0 || value < s.first || value > s.last) return -1;
  if ((value - s.first) % s.step != 0) return -1;
  return (value - s.first) / s.step;
}

bool driver_device::run_query() {
  if (!read_fixed(IOCTL_GET_CHANNEL_COUNTS, &counts_, sizeof counts_)) return false;
  if (!read_fixed(IOCTL_GET_INFO_8, &info_, sizeof info_)) return false;
  value_list range, attenuation;
  if (!read_list(IOCTL_GET_INPUT_RANGE_STEPS, 2, range)) return false;
  input_range_ = to_steps(range);
  if (!read_list(IOCTL_GET_OUTPUT_ATTENUATION_STEPS, 2, attenuation)) return false;
  attenuation_ = to_steps(attenuation);
  if (!read_list(IOCTL_GET_INPUT_LIST_32, 4, input_list_32_)) return false;
  if (!read_list(IOCTL_GET_LIST_16, 2, list_16_)) return false;
  if (!read_list(IOCTL_GET_LIST2_A, 4, list2_a_)) return false;
  if (!read_list(IOCTL_GET_LIST2_B, 4, list2_b_)) return false;
  if (!read_list(IOCTL_GET_LIST2_C, 2, list2_c_)) return false;
  bool wants_range = false;
  for (uint32_t i = 0; i < list2_c_.count; ++i)
    wants_range = wants_range || list2_c_.item(i) == 3 || list2_c_.item(i) == 4;
  if (wants_range) {
    uint32_t phase = LUME_LIST_RANGE;
    int16_t raw[3] = {};
    DWORD got = sizeof raw;
    if (control(true, IOCTL_GET_LIST2_C, &phase, sizeof phase, raw, &got, INFINITE) && got == sizeof raw) {
      list2_c_range_ = steps{raw[0], raw[1], raw[2]};
      has_list2_c_range_ = true;
    }
  }
  return read_list(IOCTL_GET_OUTPUT_LIST_32, 4, output_list_32_);
}

void driver_device::clear_results() {
  counts_ = channel_counts{};
  info_ = info_block{};
  input_range_ = steps{};
  attenuation_ = steps{};
  for (value_list* l : {&input_list_32_, &list_16_, &list2_a_, &list2_b_, &list2_c_, &output_list_32_})
    *l = value_list{};
  has_list2_c_range_ = false;
  list2_c_range_ = steps{};
}

bool driver_device::query() {
  if (valid_) return true;
  valid_ = run_query();
  if (!valid_) clear_results();
  return valid_;
}

bool driver_device::set_output_attenuation(const std::vector<int32_t>& values, uint32_t mask_low, uint32_t mask_high) {
  if (!valid_ || values.empty()) return false;
  const uint32_t n = counts_.output_signal;
  std::vector<uint8_t> record(2u * n + 16u, 0);
  uint64_t mask = (static_cast<uint64_t>(mask_high) << 32) | mask_low;
  for (uint32_t d = 0; d < n && d < 64; ++d) {
    const uint64_t bit = uint64_t{1} << d;
    if (!(mask & bit)) continue;
    // A channel the caller gave no value for cannot be set.
    int k = d < values.size() ? step_index(attenuation_, values[d]) : -1;
    if (k < 0 || k > 0xFFFF) {
      mask &= ~bit;
      continue;
    }
    uint16_t index = static_cast<uint16_t>(k);
    std::memcpy(record.data() + 16 + 2 * d, &index, 2);
  }
  // Bits of channels the device does not have select nothing.
  if (n < 64) mask &= (uint64_t{1} << n) - 1;
  if (mask == 0) return false;
  uint32_t head[4] = {static_cast<uint32_t>(record.size()), 0, static_cast<uint32_t>(mask),
                      static_cast<uint32_t>(mask >> 32)};
  std::memcpy(record.data(), head, sizeof head);
  DWORD none = 0;
  return control(true, IOCTL_SET_OUTPUT_ATTENUATION, record.data(), static_cast<DWORD>(record.size()), nullptr, &none,
                 INFINITE);
}

}  // namespace keelmon
