// Windows and messages: classes, per-thread message queues (made on first use), windows owned by their
// thread and destroyed when it ends, posted and sent messages, device notifications and WM_DEVICECHANGE.
#include <windows.h>
#include <dbt.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/kbridge.h"
#include "kobject.h"
#include "ui_internal.h"

namespace wb {
namespace {

struct send_wait {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  LRESULT result = 0;
};

struct sent_msg {
  HWND hwnd;
  UINT msg;
  WPARAM w;
  LPARAM l;
  std::function<void()> after;      // runs once the message was handled or dropped
  std::shared_ptr<send_wait> wait;  // SendMessageA from another thread
};

// A thread's message queue. The object is signalled (auto-reset) whenever something is queued, so
// GetMessageA waits through the platform's wait machinery.
class msg_queue : public kobject {
 public:
  explicit msg_queue(DWORD tid) : kobject(false, false), tid(tid), thread(current_thread_object()) {}
  const char *type_name() const override { return "message queue"; }
  // True once the owning thread has ended, also when it was terminated and never ran its exit code.
  bool thread_gone() const {
    std::lock_guard<std::mutex> l(wait_lock());
    return thread && thread->signalled_locked();
  }
  DWORD tid;
  kref<kobject> thread;
  std::mutex mu;
  std::deque<MSG> posted;
  std::deque<sent_msg> sent;
  bool quit = false;
  int quit_code = 0;
  bool alive = true;
};

struct wclass {
  std::string name;
  WNDPROC proc;
  int extra;
  HINSTANCE instance;
};

struct window {
  HWND h;
  DWORD tid;
  kref<msg_queue> q;
  WNDPROC proc;
  LONG_PTR user = 0;
  LONG_PTR id = 0;
  std::vector<uint8_t> extra;
  HWND parent;
  DWORD style, exstyle;
};

struct notification {
  HWND hwnd;
  GUID guid;
  bool all;
};

struct gui_state {
  std::mutex mu;
  std::map<std::string, wclass> classes;  // upper-case name
  std::map<HWND, std::shared_ptr<window>> windows;
  std::map<DWORD, kref<msg_queue>> queues;
  std::map<uintptr_t, notification> notifications;
  uintptr_t next_hwnd = 0x20000;
  uintptr_t next_notification = 0x1000;
  ATOM next_atom = 0xC000;
};
gui_state &gui() {
  static auto *g = new gui_state;
  return *g;
}

std::string upper(const char *s) {
  std::string r = s ? s : "";
  for (auto &c : r) c = (char)toupper((unsigned char)c);
  return r;
}

void finish_sent(sent_msg &m, LRESULT r) {
  if (m.wait) {
    std::lock_guard<std::mutex> l(m.wait->mu);
    m.wait->result = r;
    m.wait->done = true;
    m.wait->cv.notify_all();
  }
  if (m.after) m.after();
}

void destroy_thread_windows(DWORD tid);

// Destroys the thread's windows and queue when the thread ends.
struct thread_gui {
  kref<msg_queue> q;
  ~thread_gui() {
    if (!q) return;
    destroy_thread_windows(q->tid);
  }
};
thread_local thread_gui t_gui;

kref<msg_queue> current_queue() {
  if (!t_gui.q) {
    DWORD tid = GetCurrentThreadId();
    t_gui.q = kref<msg_queue>::adopt(new msg_queue(tid));
    std::lock_guard<std::mutex> l(gui().mu);
    gui().queues[tid] = t_gui.q;
  }
  return t_gui.q;
}

void destroy_thread_windows(DWORD tid) {
  std::vector<sent_msg> dropped;
  std::vector<HWND> gone;
  kref<msg_queue> q;
  {
    auto &g = gui();
    std::lock_guard<std::mutex> l(g.mu);
    for (auto it = g.windows.begin(); it != g.windows.end();) {
      if (it->second->tid == tid) {
        HWND h = it->first;
        gone.push_back(h);
        for (auto n = g.notifications.begin(); n != g.notifications.end();)
          n = n->second.hwnd == h ? g.notifications.erase(n) : std::next(n);
        it = g.windows.erase(it);
      } else {
        ++it;
      }
    }
    auto qi = g.queues.find(tid);
    if (qi != g.queues.end()) {
      q = qi->second;
      g.queues.erase(qi);
    }
  }
  if (q) {
    std::lock_guard<std::mutex> l(q->mu);
    q->alive = false;
    for (auto &m : q->sent) dropped.push_back(std::move(m));
    q->sent.clear();
    q->posted.clear();
  }
  for (auto &m : dropped) finish_sent(m, 0);
  for (HWND h : gone) ui_on_destroy(h);
}

std::shared_ptr<window> find_window(HWND h) {
  auto &g = gui();
  std::lock_guard<std::mutex> l(g.mu);
  auto it = g.windows.find(h);
  return it == g.windows.end() ? nullptr : it->second;
}

LRESULT call_proc(HWND h, UINT msg, WPARAM w, LPARAM l) {
  auto win = find_window(h);
  if (!win) return 0;
  return win->proc(h, msg, w, l);
}

// Runs the sent messages waiting for the calling thread.
void process_sent(msg_queue *q) {
  for (;;) {
    sent_msg m;
    {
      std::lock_guard<std::mutex> l(q->mu);
      if (q->sent.empty()) return;
      m = std::move(q->sent.front());
      q->sent.pop_front();
    }
    LRESULT r = call_proc(m.hwnd, m.msg, m.w, m.l);
    finish_sent(m, r);
  }
}

bool matches(const MSG &m, HWND filter, UINT lo, UINT hi) {
  if (filter && m.hwnd != filter) return false;
  if (lo == 0 && hi == 0) return true;
  return m.message >= lo && m.message <= hi;
}

// Takes the next posted message (or WM_QUIT); false when there is none.
bool take_posted(msg_queue *q, LPMSG out, HWND filter, UINT lo, UINT hi, bool remove) {
  std::lock_guard<std::mutex> l(q->mu);
  for (auto it = q->posted.begin(); it != q->posted.end(); ++it) {
    if (!matches(*it, filter, lo, hi)) continue;
    *out = *it;
    if (remove) q->posted.erase(it);
    return true;
  }
  if (q->quit) {
    MSG m{};
    m.message = WM_QUIT;
    m.wParam = (WPARAM)q->quit_code;
    *out = m;
    if (remove) q->quit = false;
    return true;
  }
  return false;
}

bool queue_posted(const kref<msg_queue> &q, HWND h, UINT msg, WPARAM w, LPARAM l) {
  {
    std::lock_guard<std::mutex> lk(q->mu);
    if (!q->alive) return false;
    MSG m{};
    m.hwnd = h;
    m.message = msg;
    m.wParam = w;
    m.lParam = l;
    m.time = GetTickCount();
    q->posted.push_back(m);
  }
  q->set_signalled(true);
  return true;
}

bool queue_sent(const kref<msg_queue> &q, sent_msg m) {
  {
    std::lock_guard<std::mutex> lk(q->mu);
    if (!q->alive) return false;
    q->sent.push_back(std::move(m));
  }
  q->set_signalled(true);
  return true;
}

// Forgets the windows and queues of threads that ended without cleaning up (TerminateThread parks a
// thread for good), so that nothing waits for them to handle a message.
void reap_dead_queues() {
  std::vector<DWORD> dead;
  {
    auto &g = gui();
    std::lock_guard<std::mutex> l(g.mu);
    for (auto &kv : g.queues)
      if (kv.second->thread_gone()) dead.push_back(kv.first);
  }
  for (DWORD tid : dead) destroy_thread_windows(tid);
}

// WM_DEVICECHANGE to the windows that want it, as sent-notify messages; settle() waits for them.
void on_device_change(const wbk::device_change &c) {
  reap_dead_queues();
  struct target {
    HWND h;
    kref<msg_queue> q;
  };
  std::vector<target> targets;
  {
    auto &g = gui();
    std::lock_guard<std::mutex> l(g.mu);
    if (c.event == DBT_DEVNODES_CHANGED) {
      for (auto &kv : g.windows)
        if (!kv.second->parent) targets.push_back({kv.first, kv.second->q});
    } else {
      for (auto &kv : g.notifications) {
        const notification &n = kv.second;
        if (!n.all && memcmp(&n.guid, &c.guid, sizeof(GUID)) != 0) continue;
        auto w = g.windows.find(n.hwnd);
        if (w != g.windows.end()) targets.push_back({n.hwnd, w->second->q});
      }
    }
  }
  for (auto &t : targets) {
    LPARAM lp = 0;
    void *mem = nullptr;
    if (c.event != DBT_DEVNODES_CHANGED) {
      size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + c.path.size() + 1;
      if (size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)) size = sizeof(DEV_BROADCAST_DEVICEINTERFACE_A);
      mem = calloc(1, size);
      auto *b = static_cast<DEV_BROADCAST_DEVICEINTERFACE_A *>(mem);
      b->dbcc_size = (DWORD)size;
      b->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      b->dbcc_classguid = c.guid;
      memcpy(b->dbcc_name, c.path.c_str(), c.path.size() + 1);
      lp = (LPARAM)mem;
    }
    wbk::busy_enter();
    sent_msg m{t.h, WM_DEVICECHANGE, (WPARAM)c.event, lp, [mem] {
                 free(mem);
                 wbk::busy_leave();
               },
               nullptr};
    if (!queue_sent(t.q, std::move(m))) {
      free(mem);
      wbk::busy_leave();
    }
  }
}

[[maybe_unused]] const int g_sink_registered = (wbk::set_device_change_sink(on_device_change), 0);

}  // namespace
}  // namespace wb

using namespace wb;

extern "C" {

ATOM WINAPI RegisterClassA(const WNDCLASSA *wc) {
  if (!wc || !wc->lpszClassName || !wc->lpfnWndProc) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  current_queue();
  auto &g = gui();
  std::lock_guard<std::mutex> l(g.mu);
  std::string key = upper(wc->lpszClassName);
  if (g.classes.count(key)) {
    set_last_error(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  g.classes[key] = wclass{wc->lpszClassName, wc->lpfnWndProc, wc->cbWndExtra, wc->hInstance};
  return g.next_atom++;
}

BOOL WINAPI UnregisterClassA(LPCSTR name, HINSTANCE) {
  auto &g = gui();
  std::lock_guard<std::mutex> l(g.mu);
  if (!g.classes.erase(upper(name))) {
    set_last_error(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  return TRUE;
}

HWND WINAPI CreateWindowExA(DWORD exstyle, LPCSTR class_name, LPCSTR window_name, DWORD style, int x, int y, int cx,
                            int cy, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
  ui_ensure_classes();
  if (ui_refuses(class_name)) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  kref<msg_queue> q = current_queue();
  auto w = std::make_shared<window>();
  {
    auto &g = gui();
    std::lock_guard<std::mutex> l(g.mu);
    auto c = g.classes.find(upper(class_name));
    if (c == g.classes.end()) {
      set_last_error(ERROR_CLASS_DOES_NOT_EXIST);
      return nullptr;
    }
    if (parent && parent != HWND_MESSAGE && !g.windows.count(parent)) {
      set_last_error(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    w->h = reinterpret_cast<HWND>(g.next_hwnd += 4);
    w->tid = q->tid;
    w->q = q;
    w->proc = c->second.proc;
    w->extra.assign(c->second.extra > 0 ? (size_t)c->second.extra : 0, 0);
    w->parent = parent == HWND_MESSAGE ? nullptr : parent;
    w->style = style;
    w->exstyle = exstyle;
    w->id = (LONG_PTR)menu;
    g.windows[w->h] = w;
  }
  CREATESTRUCTA cs{param, instance, menu, parent, cy, cx, y, x, (LONG)style, window_name, class_name, exstyle};
  HWND h = w->h;
  ui_on_create(h, w->parent, (int)(LONG_PTR)menu, style, window_name, class_name, cx, cy);
  if (!w->proc(h, WM_NCCREATE, 0, (LPARAM)&cs)) {
    ui_on_destroy(h);
    std::lock_guard<std::mutex> l(gui().mu);
    gui().windows.erase(h);
    set_last_error(0);
    return nullptr;
  }
  if (w->proc(h, WM_CREATE, 0, (LPARAM)&cs) == -1) {
    DestroyWindow(h);
    return nullptr;
  }
  return h;
}

BOOL WINAPI DestroyWindow(HWND h) {
  auto w = find_window(h);
  if (!w) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (w->tid != GetCurrentThreadId()) {
    set_last_error(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  w->proc(h, WM_DESTROY, 0, 0);
  // Children go with their parent, as on Windows.
  for (HWND child : ui_children(h)) DestroyWindow(child);
  w->proc(h, WM_NCDESTROY, 0, 0);
  {
    auto &g = gui();
    std::lock_guard<std::mutex> l(g.mu);
    for (auto n = g.notifications.begin(); n != g.notifications.end();)
      n = n->second.hwnd == h ? g.notifications.erase(n) : std::next(n);
    g.windows.erase(h);
  }
  ui_on_destroy(h);
  return TRUE;
}

BOOL WINAPI IsWindow(HWND h) { return find_window(h) != nullptr; }

HWND WINAPI GetParent(HWND h) {
  auto w = find_window(h);
  if (!w) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return w->parent;
}

DWORD WINAPI GetWindowThreadProcessId(HWND h, LPDWORD pid) {
  auto w = find_window(h);
  if (!w) return 0;
  if (pid) *pid = GetCurrentProcessId();
  return w->tid;
}

LRESULT WINAPI DefWindowProcA(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  LRESULT r = 0;
  if (ui_default(h, msg, wp, lp, r)) return r;
  switch (msg) {
    case WM_NCCREATE: return TRUE;
    case WM_CLOSE: DestroyWindow(h); return 0;
    default: return 0;
  }
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND h, int index) {
  auto w = find_window(h);
  if (!w) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  std::lock_guard<std::mutex> l(gui().mu);
  switch (index) {
    case GWLP_USERDATA: return w->user;
    case GWLP_WNDPROC: return (LONG_PTR)w->proc;
    case GWLP_ID: return w->id;
    case GWL_STYLE: return (LONG)w->style;
    case GWL_EXSTYLE: return (LONG)w->exstyle;
    default:
      if (index >= 0 && (size_t)index + sizeof(LONG_PTR) <= w->extra.size()) {
        LONG_PTR v;
        memcpy(&v, w->extra.data() + index, sizeof v);
        return v;
      }
      set_last_error(1413);  // ERROR_INVALID_INDEX
      return 0;
  }
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND h, int index, LONG_PTR value) {
  auto w = find_window(h);
  if (!w) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  std::lock_guard<std::mutex> l(gui().mu);
  LONG_PTR old = 0;
  switch (index) {
    case GWLP_USERDATA: old = w->user; w->user = value; break;
    case GWLP_WNDPROC: old = (LONG_PTR)w->proc; w->proc = (WNDPROC)value; break;
    case GWLP_ID: old = w->id; w->id = value; break;
    case GWL_STYLE: old = (LONG)w->style; w->style = (DWORD)value; break;
    case GWL_EXSTYLE: old = (LONG)w->exstyle; w->exstyle = (DWORD)value; break;
    default:
      if (index >= 0 && (size_t)index + sizeof(LONG_PTR) <= w->extra.size()) {
        memcpy(&old, w->extra.data() + index, sizeof old);
        memcpy(w->extra.data() + index, &value, sizeof value);
        break;
      }
      set_last_error(1413);
      return 0;
  }
  set_last_error(0);
  return old;
}

LONG WINAPI GetWindowLongA(HWND h, int index) {
  if (index >= 0) {
    auto w = find_window(h);
    if (!w) {
      set_last_error(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    std::lock_guard<std::mutex> l(gui().mu);
    if ((size_t)index + sizeof(LONG) > w->extra.size()) {
      set_last_error(1413);
      return 0;
    }
    LONG v;
    memcpy(&v, w->extra.data() + index, sizeof v);
    return v;
  }
  return (LONG)GetWindowLongPtrA(h, index);
}

LONG WINAPI SetWindowLongA(HWND h, int index, LONG value) {
  if (index >= 0) {
    auto w = find_window(h);
    if (!w) {
      set_last_error(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    std::lock_guard<std::mutex> l(gui().mu);
    if ((size_t)index + sizeof(LONG) > w->extra.size()) {
      set_last_error(1413);
      return 0;
    }
    LONG old;
    memcpy(&old, w->extra.data() + index, sizeof old);
    memcpy(w->extra.data() + index, &value, sizeof value);
    return old;
  }
  return (LONG)SetWindowLongPtrA(h, index, value);
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND filter, UINT lo, UINT hi) {
  kref<msg_queue> q = current_queue();
  if (filter && !find_window(filter)) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  for (;;) {
    process_sent(q.get());
    if (take_posted(q.get(), msg, filter, lo, hi, true)) return msg->message == WM_QUIT ? FALSE : TRUE;
    kobject *o = q.get();
    wait_for_objects(1, &o, false, INFINITE, false);
  }
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL wait_all, DWORD ms, DWORD wake_mask) {
  kref<msg_queue> q = current_queue();
  if (count >= MAXIMUM_WAIT_OBJECTS) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<kref<kobject>> refs;
  std::vector<kobject *> objs;
  for (DWORD i = 0; i < count; ++i) {
    kref<kobject> o = lookup_handle(handles[i]);
    if (!o) return WAIT_FAILED;
    objs.push_back(o.get());
    refs.push_back(std::move(o));
  }
  {
    std::lock_guard<std::mutex> l(q->mu);
    // Only sent messages count for a wait that asks for nothing else (QS_SENDMESSAGE): posted ones left
    // in the queue do not end it at once.
    const bool posted_count = (wake_mask & ~(DWORD)QS_SENDMESSAGE) != 0;
    if (!wait_all && (!q->sent.empty() || (posted_count && (!q->posted.empty() || q->quit))))
      return WAIT_OBJECT_0 + count;
    q->set_signalled(false);  // only what arrives from now on wakes the wait (posters signal after queueing)
  }
  objs.push_back(q.get());
  return wait_for_objects(count + 1, objs.data(), wait_all != 0, ms, false);
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND filter, UINT lo, UINT hi, UINT remove) {
  kref<msg_queue> q = current_queue();
  process_sent(q.get());
  return take_posted(q.get(), msg, filter, lo, hi, (remove & PM_REMOVE) != 0);
}

BOOL WINAPI TranslateMessage(const MSG *) { return FALSE; }

LRESULT WINAPI DispatchMessageA(const MSG *msg) {
  if (!msg || !msg->hwnd) return 0;
  auto w = find_window(msg->hwnd);
  if (!w) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return w->proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void WINAPI PostQuitMessage(int code) {
  kref<msg_queue> q = current_queue();
  {
    std::lock_guard<std::mutex> l(q->mu);
    q->quit = true;
    q->quit_code = code;
  }
  q->set_signalled(true);
}

BOOL WINAPI PostMessageA(HWND h, UINT msg, WPARAM w, LPARAM l) {
  if (!h) return queue_posted(current_queue(), nullptr, msg, w, l);
  auto win = find_window(h);
  if (!win || !queue_posted(win->q, h, msg, w, l)) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI PostThreadMessageA(DWORD tid, UINT msg, WPARAM w, LPARAM l) {
  kref<msg_queue> q;
  {
    auto &g = gui();
    std::lock_guard<std::mutex> lk(g.mu);
    auto it = g.queues.find(tid);
    if (it != g.queues.end()) q = it->second;
  }
  if (!q || !queue_posted(q, nullptr, msg, w, l)) {
    set_last_error(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  return TRUE;
}

LRESULT WINAPI SendMessageA(HWND h, UINT msg, WPARAM w, LPARAM l) {
  auto win = find_window(h);
  if (!win) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (win->tid == GetCurrentThreadId()) return win->proc(h, msg, w, l);
  auto wait = std::make_shared<send_wait>();
  if (!queue_sent(win->q, sent_msg{h, msg, w, l, nullptr, wait})) return 0;
  // While waiting, this thread still answers messages sent to it (no deadlock between two senders).
  kref<msg_queue> mine = current_queue();
  for (;;) {
    process_sent(mine.get());
    std::unique_lock<std::mutex> lk(wait->mu);
    if (wait->cv.wait_for(lk, std::chrono::milliseconds(5), [&] { return wait->done; })) return wait->result;
  }
}

BOOL WINAPI SendNotifyMessageA(HWND h, UINT msg, WPARAM w, LPARAM l) {
  auto win = find_window(h);
  if (!win) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (win->tid == GetCurrentThreadId()) {
    win->proc(h, msg, w, l);
    return TRUE;
  }
  return queue_sent(win->q, sent_msg{h, msg, w, l, nullptr, nullptr});
}

HDEVNOTIFY WINAPI RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) {
  auto *hdr = static_cast<DEV_BROADCAST_HDR *>(filter);
  if (!hdr || (flags & 1) /* service handles */) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (hdr->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      hdr->dbch_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name)) {
    set_last_error(ERROR_INVALID_DATA);
    return nullptr;
  }
  HWND h = static_cast<HWND>(recipient);
  auto &g = gui();
  std::lock_guard<std::mutex> l(g.mu);
  if (!g.windows.count(h)) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  auto *di = static_cast<DEV_BROADCAST_DEVICEINTERFACE_A *>(filter);
  uintptr_t id = g.next_notification += 4;
  g.notifications[id] = notification{h, di->dbcc_classguid, (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0};
  return reinterpret_cast<HDEVNOTIFY>(id);
}

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY handle) {
  auto &g = gui();
  std::lock_guard<std::mutex> l(g.mu);
  if (!g.notifications.erase(reinterpret_cast<uintptr_t>(handle))) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
