// Hidden windows with their own thread that turn WM_DEVICECHANGE into the transport's arrival and
// removal notices, one per watched interface class.
#ifndef QUILLON_MSG_NOTIFIER_H
#define QUILLON_MSG_NOTIFIER_H

#include <windows.h>

#include <atomic>
#include <string>

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
  DWORD thread_id() const { return thread_id_; }

 protected:
  explicit win_msg(HINSTANCE instance);
  // Starts the thread and returns once its window exists (or could not be made). Called by the most
  // derived constructor, so that no message reaches on_message before the object is complete.
  void open();
  // Ends the thread and waits for it; called by the most derived destructor, so that on_message never
  // runs on a half-destroyed object. On the window thread itself (a handler tearing its own notifier
  // down) it only detaches the object from the window and lets the loop end by itself.
  void close();
  // Where a handler running on the window thread learns that close() ran under it.
  bool* closed_under_handler_ = nullptr;

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
  bool closed_ = false;
};

// Registers its window for the device-interface notices of one class.
class msg_notifier : public win_msg {
 public:
  msg_notifier(karnet::guid interface_class, io_protocol_wdm* protocol, HINSTANCE instance);
  ~msg_notifier() override;

  LRESULT on_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) override;

 private:
  karnet::guid class_;
  HDEVNOTIFY notification_ = nullptr;
  io_protocol_wdm* protocol_;  // owns this notifier
  OSVERSIONINFOA version_;
};

}  // namespace fileio

#endif
