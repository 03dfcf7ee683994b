// Hidden windows with their own thread that turn WM_DEVICECHANGE into the transport's arrival and
// removal notices, one per watched interface class.
#ifndef QUILLON_MSG_NOTIFIER_H
#define QUILLON_MSG_NOTIFIER_H

#include <windows.h>

#include <atomic>
#include <string>

#include <w32cpp/handle.h>

#include <karnet/guid.h>

namespace fileio {

class io_protocol_wdm;

// A hidden top-level window served by a thread of its own.
class win_msg {
 public:
  win_msg(const win_msg&) = delete;
  win_msg& operator=(const win_msg&) = delete;
  virtual ~win_msg();

  virtual LRESULT on_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) = 0;

  HWND window() const { return window_.load(); }
  // True once the thread has ended (or never started).
  bool ended() const;
  // True on the thread of any window of this kind: notices run there, holding the transport's
  // listener-list locks, so such a thread must never wait for another window thread.
  static bool on_window_thread();

 protected:
  explicit win_msg(HINSTANCE instance);
  // Starts the thread and returns once its window exists (or could not be made). Called by the most
  // derived constructor, so that no message reaches on_message before the object is complete.
  void open();
  // Asks the thread to leave its loop, without waiting.
  void request_close();
  // Ends the thread and waits for it; called by the most derived destructor, so that on_message never
  // runs on a half-destroyed object.
  void close();

 private:
  static DWORD WINAPI thread_body(LPVOID self);
  static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  std::atomic<HWND> window_{nullptr};
  HINSTANCE instance_;
  HANDLE thread_ = nullptr;
  DWORD thread_id_ = 0;
  std::string class_name_;
  std::string window_name_;
  WNDCLASSA class_record_;
  ATOM atom_ = 0;
  HANDLE ready_ = nullptr;  // set by the thread once CreateWindowExA returned
  bool close_requested_ = false;
  bool closed_ = false;
};

// Registers its window for the device-interface notices of one class.
class msg_notifier : public win_msg {
 public:
  msg_notifier(karnet::guid interface_class, const io_protocol_wdm* protocol, HINSTANCE instance);
  ~msg_notifier() override;

  LRESULT on_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) override;

  // Ends a notifier taken out of its protocol's map: at once (waiting for its thread), or, on a window
  // thread, by retiring it: notices stop, its thread is asked to end and the object is kept until a
  // later reap finds the thread ended.
  static void dispose(w32cpp::auto_handle<msg_notifier>& notifier);
  // Destroys the retired notifiers whose thread ended; with wait, all of them (never on a window thread).
  static void reap(bool wait);

 private:
  void retire();

  karnet::guid class_;
  HDEVNOTIFY notification_ = nullptr;
  const io_protocol_wdm* protocol_;  // compared, never dereferenced: the protocol may be gone
  OSVERSIONINFOA version_;
  std::atomic<bool> retired_{false};
};

}  // namespace fileio

#endif
