// A scripted transport for driving the device manager: devices are plugged and unplugged by the test,
// notices are sent when the test says so, and requests complete on command.
#ifndef KARNET_TESTS_FAKE_PROTOCOL_H
#define KARNET_TESTS_FAKE_PROTOCOL_H

#include "zephtest/wait.h"
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <w32cpp/waitable.h>

#include <karnet/iapi.h>

#include "fake_assync.h"

namespace karnet_test {

class fake_protocol : public karnet::io_protocol, public karnet::io_request_cancel {
 public:
  // The protocol lives in `holder`, which self() copies; the test keeps the holder.
  static fake_protocol* make(karnet::protocol_handle& holder) {
    auto* p = new fake_protocol();
    holder.reset(p);
    p->holder_ = &holder;
    return p;
  }

  // Present devices, changed without any notice.
  void plug(const std::string& name, const GUID& interface_class) {
    std::lock_guard<std::mutex> g(m_);
    devices_[name] = &interface_class;
  }
  void unplug(const std::string& name) {
    std::lock_guard<std::mutex> g(m_);
    devices_.erase(name);
  }
  void arrive(const GUID& interface_class) { notify_arrival(karnet::guid(interface_class)); }
  void leave(const GUID& interface_class) { notify_removal(karnet::guid(interface_class)); }

  karnet::interface_list enumerate(karnet::guid interface_class) override {
    std::vector<std::string> names;
    {
      std::lock_guard<std::mutex> g(m_);
      log_.push_back("enumerate");
      ++enumerations_[key(interface_class)];
      for (auto& [name, cls] : devices_)
        if (karnet::guid(cls) == interface_class) names.push_back(name);
    }
    karnet::interface_list result;
    for (const std::string& name : names)
      result.push_back(create_device_interface(name, interface_class, karnet::device_description()));
    return result;
  }
  void watch(karnet::guid interface_class) override {
    {
      std::lock_guard<std::mutex> g(m_);
      log_.push_back("watch");
      ++watches_[key(interface_class)];
    }
    if (on_watch) on_watch(interface_class);
  }
  void unwatch(karnet::guid interface_class) override {
    std::lock_guard<std::mutex> g(m_);
    ++unwatches_[key(interface_class)];
  }
  karnet::protocol_handle self() override { return *holder_; }

  karnet::device_handle open(std::string name) override {
    std::lock_guard<std::mutex> g(m_);
    ++opens_[name];
    if (fail_open || !devices_.count(name)) return INVALID_HANDLE_VALUE;
    ++opened_[name];
    auto h = reinterpret_cast<karnet::device_handle>(++next_handle_);
    names_[h] = name;
    return h;
  }
  void close(karnet::device_handle* handle) override {
    std::lock_guard<std::mutex> g(m_);
    ++closes_[names_[*handle]];
  }
  karnet::assync_handle read(karnet::device_handle*, karnet::io_read& op) override { return submit(op); }
  karnet::assync_handle write(karnet::device_handle*, karnet::io_write& op) override { return submit(op); }
  karnet::assync_handle control(karnet::device_handle*, karnet::io_control& op) override { return submit(op); }
  w32cpp::status_win32 cancel(karnet::device_handle*) override {
    complete_all(ERROR_OPERATION_ABORTED);
    return w32cpp::status_win32(0u);
  }
  w32cpp::status_win32 cancel_request(karnet::device_handle*, karnet::io_assync& request) override {
    w32cpp::auto_handle<fake_assync> taken;
    {
      std::lock_guard<std::mutex> g(m_);
      for (auto it = pending_.begin(); it != pending_.end(); ++it)
        if (it->get() == &request) {
          taken = *it;
          pending_.erase(it);
          break;
        }
    }
    if (taken) taken->complete(ERROR_OPERATION_ABORTED, 0);
    return w32cpp::status_win32(0u);
  }

  // Completes every request still pending.
  void complete_all(DWORD status, uint32_t bytes = 0) {
    std::vector<w32cpp::auto_handle<fake_assync>> taken;
    {
      std::lock_guard<std::mutex> g(m_);
      taken.swap(pending_);
    }
    for (auto& a : taken) a->complete(status, bytes);
  }

  int enumerations(const GUID& c) { return count(enumerations_, c); }
  int watches(const GUID& c) { return count(watches_, c); }
  int unwatches(const GUID& c) { return count(unwatches_, c); }
  int opens(const std::string& name) {
    std::lock_guard<std::mutex> g(m_);
    return opens_[name];
  }
  // Opens that gave a handle.
  int opened(const std::string& name) {
    std::lock_guard<std::mutex> g(m_);
    return opened_[name];
  }
  int closes(const std::string& name) {
    std::lock_guard<std::mutex> g(m_);
    return closes_[name];
  }
  std::vector<std::string> log() {
    std::lock_guard<std::mutex> g(m_);
    return log_;
  }

  std::atomic<bool> fail_open{false};
  // Anything but ERROR_IO_PENDING: requests complete with this status as soon as they are submitted.
  std::atomic<DWORD> complete_with{ERROR_IO_PENDING};
  std::function<void(karnet::guid)> on_watch;

 private:
  fake_protocol() = default;

  static std::string key(karnet::guid g) {
    return g.is_set() ? std::string(reinterpret_cast<const char*>(g.get()), sizeof(GUID)) : std::string();
  }
  int count(std::map<std::string, int>& m, const GUID& c) {
    std::lock_guard<std::mutex> g(m_);
    return m[key(karnet::guid(c))];
  }

  template <class Op>
  karnet::assync_handle submit(Op& op) {
    w32cpp::auto_handle<fake_assync> a(new fake_assync());
    {
      std::lock_guard<std::mutex> g(m_);
      pending_.push_back(a);
    }
    karnet::assync_handle request(a);
    op.set_request(request);
    if (complete_with.load() != ERROR_IO_PENDING) complete_all(complete_with.load(), 1);
    return request;
  }

  karnet::protocol_handle* holder_ = nullptr;
  std::mutex m_;
  std::map<std::string, const GUID*> devices_;
  std::map<std::string, int> enumerations_, watches_, unwatches_, opens_, opened_, closes_;
  std::map<karnet::device_handle, std::string> names_;
  std::vector<std::string> log_;
  std::vector<w32cpp::auto_handle<fake_assync>> pending_;
  uintptr_t next_handle_ = 0;
};

}  // namespace karnet_test

#endif
