// The device monitor: two sources of device arrivals and removals (the outside driver's device
// interfaces, the instrument API's control interface class), one polling worker, and the listeners
// that each change is reported to.
#ifndef KEELMON_CORE_DEVICE_MONITOR_H
#define KEELMON_CORE_DEVICE_MONITOR_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/device_info.h"

namespace morvex {
class iapi;
}

namespace keelmon {

class device_monitor;
class notification_source;

// Codes of a change and of a source's update.
enum : int32_t { change_added = 1, change_removed = -1 };
// Update codes (the device-change message's): arrival, removal, nodes changed.
enum : uint32_t { update_arrival = 0x8000, update_removal = 0x8004, update_nodes_changed = 7 };

struct change_record {
  int32_t code;                 // change_added or change_removed
  notification_source* source;  // the source whose devices changed
};

// What the monitor calls on every change. Runs on the thread that saw the change (the worker or the
// thread owning the interface source's window) while the monitor's lock is held: the sources' device
// maps may be read freely, removed devices are still readable.
class device_change_listener {
 public:
  virtual void on_change(const change_record& record) = 0;

 protected:
  ~device_change_listener() = default;
};

class notification_source {
 public:
  enum : uint32_t { kind_interfaces = 1, kind_instrument_api = 256 };
  using device_map = std::map<std::string, std::unique_ptr<device_info>>;

  virtual ~notification_source();
  notification_source(const notification_source&) = delete;
  notification_source& operator=(const notification_source&) = delete;

  virtual bool start() = 0;
  // One polling pass (the worker's); starts the source first when it is not started.
  virtual void poll() = 0;
  virtual bool stop() = 0;
  // Deletes the device objects taken out of the map since the last purge.
  virtual bool purge();
  // Enumerates again: 0x8000 adds new devices (1), another code drops the gone ones (-1); 0 otherwise.
  virtual int update(uint32_t code) = 0;

  uint32_t kind() const { return kind_; }
  int device_count() const { return device_count_.load(); }
  bool started() const { return started_.load(); }
  // Read under the monitor's lock (listeners hold it).
  const device_map& devices() const { return devices_; }
  device_monitor& monitor() const { return monitor_; }

 protected:
  notification_source(uint32_t kind, device_monitor& monitor);
  // Moves every entry whose key is not in seen_ to the removed list; true when one went.
  bool drop_unseen();

  uint32_t kind_;
  std::atomic<int> device_count_{0};
  device_map devices_;
  device_monitor& monitor_;
  std::atomic<bool> started_{false};
  std::vector<std::string> seen_;
  std::vector<std::unique_ptr<device_info>> removed_;
};

// Devices of a device-interface class, learnt from the system's device-change messages to a hidden
// window that belongs to the thread calling start().
class interface_notification_source : public notification_source {
 public:
  static const GUID device_interface_guid_outside;
  static constexpr const char* window_class = "NotificationOnChangeClass";

  explicit interface_notification_source(device_monitor& monitor,
                                         const GUID& interface_class = device_interface_guid_outside);
  ~interface_notification_source() override;
  bool start() override;
  void poll() override;
  bool stop() override;
  int update(uint32_t code) override;

  HWND window() const { return window_; }

 private:
  static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  void close_window();
  // Updates for `code` and notifies the listeners; under the monitor's lock, on the window's thread.
  void report(uint32_t code, bool starting);

  GUID interface_class_;
  HWND window_ = nullptr;
  HDEVNOTIFY notification_ = nullptr;
  bool class_registered_ = false;
  bool closing_ = false;          // the source destroys its own window: its thread's loop goes on
  bool reporting_ = false;        // under the monitor's lock
  std::deque<uint32_t> pending_;  // changes that came while one was being reported
};

// The system's own USB instruments, learnt from the instrument API's control interface class.
class instrument_api_source : public notification_source {
 public:
  // Binds the library (registry folder first, then the bare name).
  explicit instrument_api_source(device_monitor& monitor, const char* library = "morvex",
                                 const char* factory = "morvex_get_instance");
  ~instrument_api_source() override;
  bool start() override;
  void poll() override;
  bool stop() override;
  int update(uint32_t code) override;

  bool bound() const;

 private:
  struct binding;
  std::unique_ptr<binding> api_;
};

// Waits up to wait_ms for `object` while answering messages other threads send to this thread's
// windows, so that a thread being waited for may send to the waiter without both stalling.
bool wait_answering(HANDLE object, DWORD wait_ms);

class device_monitor {
 public:
  // Wait of the worker between polling passes, and of stop() for the worker.
  static constexpr DWORD poll_period_ms = 500;
  static constexpr DWORD stop_wait_ms = 1000;

  // The process's monitor, made on first use.
  static device_monitor& instance();

  device_monitor();
  // Ends the worker before its sources go.
  ~device_monitor();
  device_monitor(const device_monitor&) = delete;
  device_monitor& operator=(const device_monitor&) = delete;

  void add_listener(device_change_listener* listener);
  void remove_listener(device_change_listener* listener);
  // Calls every listener with {code, source} in set order, then purges the source.
  void notify(int32_t code, notification_source* source);

  // Kind 1: the outside driver's interfaces; kind 256: the instrument API. Other kinds: false.
  bool add_source(uint32_t kind);
  // A source made by the caller (it must have been built over this monitor).
  bool add_source(std::unique_ptr<notification_source> source);

  // Starts every source (at least one must start) and the worker.
  bool start();
  // Ends the worker (waiting up to stop_wait_ms), then stops every source. True when both went well.
  bool stop();
  bool running() const;

  // The sum of the sources' device counts.
  int device_count() const;
  // The sources in the order added (read under the lock).
  const std::deque<std::unique_ptr<notification_source>>& sources() const { return sources_; }
  // True when a source's device map holds the key (under the lock).
  bool has_device(const std::string& key) const;

  // The lock that guards the listener set, the sources' device maps and what listeners keep. Re-entrant;
  // a thread that waits for it still answers messages sent to its windows, so a listener on the worker
  // may send messages to the thread owning the windows.
  void lock() const;
  void unlock() const;
  // Runs `action` on this thread once it no longer holds the lock (at once when it does not hold it
  // now): what may wait for the user, as a message box, never keeps the lock from the other threads.
  void after_unlock(std::function<void()> action) const;
  class guard {
   public:
    explicit guard(const device_monitor& m) : m_(m) { m_.lock(); }
    ~guard() { m_.unlock(); }
    guard(const guard&) = delete;
    guard& operator=(const guard&) = delete;

   private:
    const device_monitor& m_;
  };

  // The worker's thread id (0 when not running).
  DWORD worker_id() const;
  // Set from the moment stop() gave up waiting for the worker until the next start(): sources must not
  // start again from a polling pass then.
  bool stopping() const { return stopping_.load(); }

 private:
  struct monitor_thread;
  static DWORD WINAPI worker_main(LPVOID param);
  bool step(HANDLE stop_event);
  bool end_worker(DWORD wait_ms);

  mutable CRITICAL_SECTION lock_;
  // The holder and how often it took the lock; the actions it left for its release (under the lock).
  mutable std::atomic<DWORD> owner_{0};
  mutable unsigned depth_ = 0;
  mutable std::vector<std::function<void()>> after_unlock_;
  std::set<device_change_listener*> listeners_;
  std::deque<std::unique_ptr<notification_source>> sources_;
  std::unique_ptr<monitor_thread> worker_;
  std::atomic<bool> stopping_{false};
};

}  // namespace keelmon

#endif
