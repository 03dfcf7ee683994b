// The telephony stand-in: TAPI32's line functions over the simulated modems (simdev::modem). A line
// application gets a hidden window on the thread that initialised it; every LINE_ message is posted
// there one by one and handed to the application's callback when that thread dispatches it, as the
// hidden-window notification mode does. Requests that the real service answers asynchronously
// (make call, dial, drop) return a request identifier and a LINE_REPLY follows. A connected call's
// "comm/datamodem" identifier is a comm handle on the modem's data line.
#include <windows.h>

#include <tapi.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <simdev/modem.h>
#include <standin/tapi.h>

#include "comm.h"
#include "kobject.h"

namespace wb {
namespace {

constexpr UINT kTapiMessage = WM_APP + 0x2A1;
constexpr DWORD kLowestVersion = 0x10003, kHighestVersion = 0x20000;
constexpr DWORD kMediaInteractiveVoice = 0x4;

struct record {
  DWORD device = 0, message = 0;
  DWORD_PTR instance = 0, p1 = 0, p2 = 0, p3 = 0;
  LPHCALL call_out = nullptr;  // written on the application's thread when the reply is dispatched
  HCALL call_value = 0;
};

struct line_app {
  LINECALLBACK callback = nullptr;
  HWND window = nullptr;
  std::map<uint64_t, record> pending;
};

struct open_line {
  HLINEAPP app = 0;
  DWORD device = 0;
  DWORD_PTR instance = 0;
};

struct call_state {
  HLINE line = 0;
  DWORD device = 0;
  DWORD state = 0, mode = 0;
  bool dial_allowed = false;
  bool ended = false;  // disconnected, dropped or idle: no further progress
};

struct post {
  HWND window;
  uint64_t id;
};

struct tapi_state {
  std::mutex mu;
  std::map<HLINEAPP, line_app> apps;
  std::map<HLINE, open_line> lines;
  std::map<HCALL, call_state> calls;
  // The call whose connection holds each modem's data line: only that call's end lets it go.
  std::map<DWORD, HCALL> line_owner;
  DWORD next_app = 1, next_line = 1, next_call = 1;
  LONG next_request = 1;
  uint64_t next_record = 1;
  unsigned next_comm = 1;
  std::multimap<uint64_t, std::function<void()>> timers;
  std::condition_variable cv;
  bool engine_started = false;
  // standin::tapi::reply_for_another_request_first: a foreign reply to post before the next one.
  bool foreign_reply = false;
  LONG foreign_request = 0, foreign_result = 0;
};

tapi_state &state() {
  static auto *s = new tapi_state;
  return *s;
}

void deliver(const std::vector<post> &posts) {
  for (const post &p : posts) PostMessageA(p.window, kTapiMessage, 0, (LPARAM)p.id);
}

void post_locked(HLINEAPP app, const record &r, std::vector<post> &out) {
  auto it = state().apps.find(app);
  if (it == state().apps.end() || !it->second.window) return;
  const uint64_t id = state().next_record++;
  it->second.pending.emplace(id, r);
  out.push_back({it->second.window, id});
}

// Runs fn after ms on the stand-in's telephony thread (platform clock, never scaled: line timing).
void schedule_locked(DWORD ms, std::function<void()> fn) {
  tapi_state &s = state();
  s.timers.emplace(clock_now_ns() + (uint64_t)ms * 1000000ull, std::move(fn));
  if (!s.engine_started) {
    s.engine_started = true;
    std::thread([] {
      tapi_state &t = state();
      std::unique_lock<std::mutex> l(t.mu);
      for (;;) {
        if (t.timers.empty()) {
          t.cv.wait(l);
          continue;
        }
        const uint64_t due = t.timers.begin()->first, now = clock_now_ns();
        if (due > now) {
          t.cv.wait_for(l, std::chrono::nanoseconds(due - now));
          continue;
        }
        auto fn = std::move(t.timers.begin()->second);
        t.timers.erase(t.timers.begin());
        l.unlock();
        fn();
        l.lock();
      }
    }).detach();
  }
  s.cv.notify_all();
}

std::shared_ptr<simdev::modem> device_at(DWORD id) {
  auto all = simdev::line_devices();
  return id < all.size() ? all[id] : nullptr;
}

void call_state_locked(HCALL id, call_state &c, DWORD st, DWORD mode, std::vector<post> &out) {
  c.state = st;
  c.mode = mode;
  auto l = state().lines.find(c.line);
  if (l == state().lines.end()) return;
  record r;
  r.device = id;
  r.message = LINE_CALLSTATE;
  r.instance = l->second.instance;
  r.p1 = st;
  r.p2 = mode;
  post_locked(l->second.app, r, out);
}

void reply_locked(HLINE line, LONG request, LONG result, std::vector<post> &out, LPHCALL call_out = nullptr,
                  HCALL call_value = 0) {
  auto l = state().lines.find(line);
  if (l == state().lines.end()) return;
  if (state().foreign_reply) {
    state().foreign_reply = false;
    record f;
    f.message = LINE_REPLY;
    f.instance = l->second.instance;
    f.p1 = (DWORD_PTR)state().foreign_request;
    f.p2 = (DWORD_PTR)(DWORD)state().foreign_result;
    post_locked(l->second.app, f, out);
  }
  record r;
  r.message = LINE_REPLY;
  r.instance = l->second.instance;
  r.p1 = (DWORD_PTR)request;
  r.p2 = (DWORD_PTR)(DWORD)result;
  r.call_out = call_out;
  r.call_value = call_value;
  post_locked(l->second.app, r, out);
}

// A later step of a call: runs only while the call still stands.
void step(HCALL id, DWORD ms, std::function<void(call_state &, std::vector<post> &)> fn) {
  schedule_locked(ms, [id, fn = std::move(fn)] {
    std::vector<post> out;
    {
      std::lock_guard<std::mutex> l(state().mu);
      auto it = state().calls.find(id);
      if (it == state().calls.end() || it->second.ended) return;
      fn(it->second, out);
    }
    deliver(out);
  });
}

void end_call_locked(HCALL id, call_state &c, DWORD st, DWORD mode, std::vector<post> &out) {
  c.ended = true;
  c.dial_allowed = false;
  call_state_locked(id, c, st, mode, out);
}

// The number is complete: the far end rings, then answers, is busy or does not answer.
void finish_dialling(HCALL id, const simdev::modem::switches &sw) {
  step(id, 5,
       [id](call_state &c, std::vector<post> &out) { call_state_locked(id, c, LINECALLSTATE_PROCEEDING, 0, out); });
  if (sw.busy) {
    step(id, 10, [id](call_state &c, std::vector<post> &out) { end_call_locked(id, c, LINECALLSTATE_BUSY, 0, out); });
    return;
  }
  step(id, 10,
       [id](call_state &c, std::vector<post> &out) { call_state_locked(id, c, LINECALLSTATE_RINGBACK, 0, out); });
  if (sw.no_answer) {
    step(id, 60, [id](call_state &c, std::vector<post> &out) {
      end_call_locked(id, c, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER, out);
    });
    return;
  }
  step(id, 10 + sw.connect_delay_ms, [id](call_state &c, std::vector<post> &out) {
    auto dev = device_at(c.device);
    if (!dev) return;
    // The listener is in place before the line is seen connected: a drop right after it ends this call.
    dev->set_drop_listener([id] {
      std::vector<post> posts;
      {
        std::lock_guard<std::mutex> l(state().mu);
        auto it = state().calls.find(id);
        if (it == state().calls.end() || it->second.ended) return;
        end_call_locked(id, it->second, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL, posts);
      }
      deliver(posts);
    });
    dev->connect_line();
    state().line_owner[c.device] = id;
    call_state_locked(id, c, LINECALLSTATE_CONNECTED, 0, out);
  });
}

// The error that names the first refused modifier in text, or 0.
LONG refusal_of(const std::string &text, const std::string &refused) {
  for (char ch : text) {
    if (refused.find(ch) == std::string::npos) continue;
    switch (ch) {
      case '$': return (LONG)LINEERR_DIALBILLING;
      case 'W':
      case 'w': return (LONG)LINEERR_DIALDIALTONE;
      case '@': return (LONG)LINEERR_DIALQUIET;
      case '?': return (LONG)LINEERR_DIALPROMPT;
      default: break;
    }
  }
  return 0;
}

bool partial(const std::string &text) { return !text.empty() && text.back() == ';'; }

// A call's end releases the modem's line only while that call holds it: a later call's connection
// on the same modem is not another call's to end.
struct line_hold {
  DWORD device;
  HCALL call;
};

void release_modem_line(const line_hold &hold) {
  // Under the lock a connection is made under, so a new call cannot connect in between.
  std::lock_guard<std::mutex> l(state().mu);
  auto it = state().line_owner.find(hold.device);
  if (it == state().line_owner.end() || it->second != hold.call) return;
  state().line_owner.erase(it);
  if (auto dev = device_at(hold.device)) {
    dev->set_drop_listener(nullptr);
    dev->release_line();
  }
}

LRESULT CALLBACK tapi_window(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg != kTapiMessage) return DefWindowProcA(hwnd, msg, wp, lp);
  const HLINEAPP app = (HLINEAPP)GetWindowLongPtrA(hwnd, GWLP_USERDATA);
  record r;
  LINECALLBACK cb = nullptr;
  {
    std::lock_guard<std::mutex> l(state().mu);
    auto a = state().apps.find(app);
    if (a == state().apps.end()) return 0;
    auto it = a->second.pending.find((uint64_t)lp);
    if (it == a->second.pending.end()) return 0;
    r = it->second;
    a->second.pending.erase(it);
    cb = a->second.callback;
  }
  if (r.call_out) *r.call_out = r.call_value;
  if (cb) cb(r.device, r.message, r.instance, r.p1, r.p2, r.p3);
  return 0;
}

const char *window_class() {
  static std::once_flag once;
  std::call_once(once, [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = tapi_window;
    wc.lpszClassName = "ZephTapiNotify";
    RegisterClassA(&wc);
    // New line devices reach every initialised application.
    simdev::set_line_device_listener([](std::uint32_t id) {
      std::vector<post> out;
      {
        std::lock_guard<std::mutex> l(state().mu);
        for (auto &a : state().apps) {
          record r;
          r.message = LINE_CREATE;
          r.p1 = id;
          post_locked(a.first, r, out);
        }
      }
      deliver(out);
    });
  });
  return "ZephTapiNotify";
}

bool version_ok(DWORD v) { return v >= kLowestVersion && v <= kHighestVersion; }

// A fixed-size structure: checks its size, zeroes it and keeps dwTotalSize.
template <class T>
LONG begin_fixed(T *p) {
  if (!p) return (LONG)LINEERR_INVALPOINTER;
  const DWORD total = p->dwTotalSize;
  if (total < sizeof(T)) return (LONG)LINEERR_STRUCTURETOOSMALL;
  memset(p, 0, sizeof(T));
  p->dwTotalSize = total;
  p->dwNeededSize = p->dwUsedSize = sizeof(T);
  return 0;
}

// A VARSTRING with `size` bytes of string: filled when it fits, else only the needed size.
LONG fill_varstring(LPVARSTRING v, DWORD format, const void *bytes, DWORD size) {
  if (LONG e = begin_fixed(v)) return e;
  v->dwNeededSize = sizeof(VARSTRING) + size;
  v->dwStringFormat = format;
  if (v->dwTotalSize < v->dwNeededSize) return 0;
  memcpy(reinterpret_cast<BYTE *>(v) + sizeof(VARSTRING), bytes, size);
  v->dwStringOffset = sizeof(VARSTRING);
  v->dwStringSize = size;
  v->dwUsedSize = v->dwNeededSize;
  return 0;
}

bool datamodem_class(LPCSTR cls) { return cls && strcmp(cls, "comm/datamodem") == 0; }

std::mutex hook_mu;
standin::tapi::structure_hook &hook() {
  static auto *h = new standin::tapi::structure_hook;
  return *h;
}

// A filled structure on its way back: the test's hook may change it and the result.
template <class T>
LONG filled(const char *function, T *structure, LONG result) {
  if (result != 0 || !structure) return result;
  standin::tapi::structure_hook h;
  {
    std::lock_guard<std::mutex> l(hook_mu);
    h = hook();
  }
  return h ? h(function, structure, structure->dwTotalSize, result) : result;
}

}  // namespace
}  // namespace wb

using namespace wb;

extern "C" {

LONG WINAPI lineInitializeExA(LPHLINEAPP app_out, HINSTANCE, LINECALLBACK callback, LPCSTR, LPDWORD num_devs,
                              LPDWORD api_version, LPLINEINITIALIZEEXPARAMS params) {
  if (!app_out || !num_devs || !api_version) return (LONG)LINEERR_INVALPOINTER;
  if (params || !callback) return (LONG)LINEERR_OPERATIONUNAVAIL;  // only the hidden-window mode
  HWND w = CreateWindowExA(0, window_class(), "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  if (!w) return (LONG)LINEERR_OPERATIONFAILED;
  std::lock_guard<std::mutex> l(state().mu);
  const HLINEAPP id = state().next_app++;
  line_app a;
  a.callback = callback;
  a.window = w;
  state().apps.emplace(id, std::move(a));
  SetWindowLongPtrA(w, GWLP_USERDATA, (LONG_PTR)id);
  *app_out = id;
  *num_devs = (DWORD)simdev::line_devices().size();
  *api_version = kHighestVersion;
  return 0;
}

LONG WINAPI lineShutdown(HLINEAPP app) {
  HWND w = nullptr;
  std::vector<line_hold> released;
  {
    std::lock_guard<std::mutex> l(state().mu);
    auto a = state().apps.find(app);
    if (a == state().apps.end()) return (LONG)LINEERR_INVALAPPHANDLE;
    w = a->second.window;
    state().apps.erase(a);
    for (auto it = state().lines.begin(); it != state().lines.end();) {
      if (it->second.app != app) {
        ++it;
        continue;
      }
      for (auto c = state().calls.begin(); c != state().calls.end();) {
        if (c->second.line == it->first) {
          released.push_back({c->second.device, c->first});
          c = state().calls.erase(c);
        } else {
          ++c;
        }
      }
      it = state().lines.erase(it);
    }
  }
  for (const line_hold &h : released) release_modem_line(h);
  // Only the window's own thread can destroy it; another thread leaves it to that thread's end.
  if (w && GetWindowThreadProcessId(w, nullptr) == GetCurrentThreadId()) DestroyWindow(w);
  return 0;
}

LONG WINAPI lineNegotiateAPIVersion(HLINEAPP app, DWORD device, DWORD low, DWORD high, LPDWORD version,
                                    LPLINEEXTENSIONID ext) {
  if (!version || !ext) return (LONG)LINEERR_INVALPOINTER;
  {
    std::lock_guard<std::mutex> l(state().mu);
    if (!state().apps.count(app)) return (LONG)LINEERR_INVALAPPHANDLE;
  }
  if (!device_at(device)) return (LONG)LINEERR_BADDEVICEID;
  if (low > high || high < kLowestVersion || low > kHighestVersion) return (LONG)LINEERR_INCOMPATIBLEAPIVERSION;
  *version = std::min(high, kHighestVersion);
  memset(ext, 0, sizeof *ext);
  return 0;
}

LONG WINAPI lineGetDevCapsA(HLINEAPP app, DWORD device, DWORD version, DWORD, LPLINEDEVCAPS caps) {
  {
    std::lock_guard<std::mutex> l(state().mu);
    if (!state().apps.count(app)) return (LONG)LINEERR_INVALAPPHANDLE;
  }
  auto dev = device_at(device);
  if (!dev) return (LONG)LINEERR_BADDEVICEID;
  if (!version_ok(version)) return (LONG)LINEERR_INCOMPATIBLEAPIVERSION;
  if (LONG e = begin_fixed(caps)) return e;
  const simdev::modem_config &cfg = dev->config();
  std::string name = cfg.name;
  if (cfg.name_terminated) name.push_back('\0');
  caps->dwPermanentLineID = 0x1000 + device;
  caps->dwStringFormat = STRINGFORMAT_ASCII;
  caps->dwAddressModes = LINEADDRESSMODE_ADDRESSID;
  caps->dwNumAddresses = 1;
  caps->dwBearerModes = LINEBEARERMODE_VOICE | (cfg.data_modem ? LINEBEARERMODE_PASSTHROUGH : 0);
  caps->dwMaxRate = cfg.baud;
  caps->dwMediaModes = cfg.data_modem ? LINEMEDIAMODE_DATAMODEM : kMediaInteractiveVoice;
  caps->dwDevCapFlags = cfg.dev_cap_flags;
  caps->dwMaxNumActiveCalls = 1;
  caps->dwLineFeatures = cfg.data_modem ? LINEFEATURE_MAKECALL : 0;
  caps->dwNeededSize = (DWORD)(sizeof(LINEDEVCAPS) + name.size());
  if (caps->dwTotalSize >= caps->dwNeededSize) {
    memcpy(reinterpret_cast<BYTE *>(caps) + sizeof(LINEDEVCAPS), name.data(), name.size());
    caps->dwLineNameOffset = sizeof(LINEDEVCAPS);
    caps->dwLineNameSize = (DWORD)name.size();
    caps->dwUsedSize = caps->dwNeededSize;
  }
  return filled("lineGetDevCapsA", caps, 0);
}

LONG WINAPI lineGetAddressCapsA(HLINEAPP app, DWORD device, DWORD address, DWORD version, DWORD,
                                LPLINEADDRESSCAPS caps) {
  {
    std::lock_guard<std::mutex> l(state().mu);
    if (!state().apps.count(app)) return (LONG)LINEERR_INVALAPPHANDLE;
  }
  auto dev = device_at(device);
  if (!dev) return (LONG)LINEERR_BADDEVICEID;
  if (address != 0) return (LONG)LINEERR_INVALADDRESSID;
  if (!version_ok(version)) return (LONG)LINEERR_INCOMPATIBLEAPIVERSION;
  if (LONG e = begin_fixed(caps)) return e;
  caps->dwLineDeviceID = device;
  caps->dwCallStates = 0xFFFF;
  caps->dwDisconnectModes = 0x1FFF;
  caps->dwMaxNumActiveCalls = 1;
  caps->dwAddrCapFlags = dev->config().partial_dial ? LINEADDRCAPFLAGS_PARTIALDIAL : 0;
  caps->dwCallFeatures = LINECALLFEATURE_DIAL | LINECALLFEATURE_DROP;
  caps->dwAddressFeatures = LINEADDRFEATURE_MAKECALL;
  return filled("lineGetAddressCapsA", caps, 0);
}

LONG WINAPI lineGetDevConfigA(DWORD device, LPVARSTRING config, LPCSTR cls) {
  auto dev = device_at(device);
  if (!dev) return (LONG)LINEERR_BADDEVICEID;
  if (!datamodem_class(cls)) return (LONG)LINEERR_INVALDEVICECLASS;
  const auto bytes = dev->applied_config();
  return filled("lineGetDevConfigA", config,
                fill_varstring(config, STRINGFORMAT_BINARY, bytes.data(), (DWORD)bytes.size()));
}

LONG WINAPI lineSetDevConfigA(DWORD device, LPVOID const config, DWORD size, LPCSTR cls) {
  auto dev = device_at(device);
  if (!dev) return (LONG)LINEERR_BADDEVICEID;
  if (!datamodem_class(cls)) return (LONG)LINEERR_INVALDEVICECLASS;
  if (!config && size) return (LONG)LINEERR_INVALPOINTER;
  const BYTE *b = static_cast<const BYTE *>(config);
  dev->set_applied_config(std::vector<std::uint8_t>(b, b + size));
  return 0;
}

LONG WINAPI lineOpenA(HLINEAPP app, DWORD device, LPHLINE line, DWORD version, DWORD, DWORD_PTR instance,
                      DWORD privileges, DWORD media, LPLINECALLPARAMS const) {
  if (!line) return (LONG)LINEERR_INVALPOINTER;
  auto dev = device_at(device);
  std::lock_guard<std::mutex> l(state().mu);
  if (!state().apps.count(app)) return (LONG)LINEERR_INVALAPPHANDLE;
  if (!dev) return (LONG)LINEERR_BADDEVICEID;
  if (!version_ok(version)) return (LONG)LINEERR_INCOMPATIBLEAPIVERSION;
  if (privileges == 0 || ((media & LINEMEDIAMODE_DATAMODEM) && !dev->config().data_modem))
    return (LONG)LINEERR_OPERATIONUNAVAIL;
  const HLINE id = state().next_line++;
  state().lines.emplace(id, open_line{app, device, instance});
  *line = id;
  return 0;
}

LONG WINAPI lineClose(HLINE line) {
  std::vector<line_hold> released;
  {
    std::lock_guard<std::mutex> l(state().mu);
    if (!state().lines.erase(line)) return (LONG)LINEERR_INVALLINEHANDLE;
    for (auto c = state().calls.begin(); c != state().calls.end();) {
      if (c->second.line == line) {
        released.push_back({c->second.device, c->first});
        c = state().calls.erase(c);
      } else {
        ++c;
      }
    }
  }
  for (const line_hold &h : released) release_modem_line(h);
  return 0;
}

LONG WINAPI lineSetStatusMessages(HLINE line, DWORD, DWORD) {
  std::lock_guard<std::mutex> l(state().mu);
  return state().lines.count(line) ? 0 : (LONG)LINEERR_INVALLINEHANDLE;
}

LONG WINAPI lineGetAddressStatusA(HLINE line, DWORD address, LPLINEADDRESSSTATUS status) {
  std::lock_guard<std::mutex> l(state().mu);
  auto it = state().lines.find(line);
  if (it == state().lines.end()) return (LONG)LINEERR_INVALLINEHANDLE;
  if (address != 0) return (LONG)LINEERR_INVALADDRESSID;
  if (LONG e = begin_fixed(status)) return e;
  DWORD active = 0;
  for (auto &c : state().calls)
    if (c.second.device == it->second.device && !c.second.ended) ++active;
  status->dwNumInUse = 1;
  status->dwNumActiveCalls = active;
  status->dwAddressFeatures = active ? 0 : LINEADDRFEATURE_MAKECALL;
  return filled("lineGetAddressStatusA", status, 0);
}

LONG WINAPI lineMakeCallA(HLINE line, LPHCALL call_out, LPCSTR address, DWORD, LPLINECALLPARAMS const) {
  if (!call_out) return (LONG)LINEERR_INVALPOINTER;
  const std::string number = address ? address : "";
  std::vector<post> out;
  LONG request;
  {
    std::lock_guard<std::mutex> l(state().mu);
    auto it = state().lines.find(line);
    if (it == state().lines.end()) return (LONG)LINEERR_INVALLINEHANDLE;
    auto dev = device_at(it->second.device);
    if (!dev) return (LONG)LINEERR_NODEVICE;
    for (auto &c : state().calls)
      if (c.second.device == it->second.device && !c.second.ended) return (LONG)LINEERR_CALLUNAVAIL;
    dev->record_dial(number);
    const auto sw = dev->current_switches();
    request = state().next_request++;
    if (LONG refused = refusal_of(number, sw.refused)) {
      reply_locked(line, request, refused, out);
    } else {
      const HCALL id = state().next_call++;
      call_state c;
      c.line = line;
      c.device = it->second.device;
      c.state = LINECALLSTATE_IDLE;
      c.dial_allowed = partial(number);
      auto &call = state().calls.emplace(id, c).first->second;
      reply_locked(line, request, 0, out, call_out, id);
      if (sw.no_dial_tone) {
        step(id, 5, [id](call_state &cs, std::vector<post> &o) {
          end_call_locked(id, cs, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NODIALTONE, o);
        });
      } else {
        call_state_locked(id, call, LINECALLSTATE_DIALTONE, 0, out);
        call_state_locked(id, call, LINECALLSTATE_DIALING, 0, out);
        if (!partial(number)) finish_dialling(id, sw);
      }
    }
  }
  deliver(out);
  return request;
}

LONG WINAPI lineDialA(HCALL call, LPCSTR address, DWORD) {
  const std::string number = address ? address : "";
  std::vector<post> out;
  LONG request;
  {
    std::lock_guard<std::mutex> l(state().mu);
    auto it = state().calls.find(call);
    if (it == state().calls.end()) return (LONG)LINEERR_INVALCALLHANDLE;
    call_state &c = it->second;
    if (c.ended || !c.dial_allowed) return (LONG)LINEERR_INVALCALLSTATE;
    auto dev = device_at(c.device);
    if (!dev) return (LONG)LINEERR_NODEVICE;
    dev->record_dial(number);
    const auto sw = dev->current_switches();
    request = state().next_request++;
    if (LONG refused = refusal_of(number, sw.refused)) {
      reply_locked(c.line, request, refused, out);
    } else {
      c.dial_allowed = partial(number);
      reply_locked(c.line, request, 0, out);
      call_state_locked(call, c, LINECALLSTATE_DIALING, 0, out);
      if (!partial(number)) finish_dialling(call, sw);
    }
  }
  deliver(out);
  return request;
}

LONG WINAPI lineDrop(HCALL call, LPCSTR, DWORD) {
  std::vector<post> out;
  LONG request;
  DWORD device;
  {
    std::lock_guard<std::mutex> l(state().mu);
    auto it = state().calls.find(call);
    if (it == state().calls.end()) return (LONG)LINEERR_INVALCALLHANDLE;
    call_state &c = it->second;
    if (c.state == LINECALLSTATE_IDLE && c.ended) return (LONG)LINEERR_INVALCALLSTATE;
    device = c.device;
    request = state().next_request++;
    reply_locked(c.line, request, 0, out);
    c.ended = true;
    c.dial_allowed = false;
    const HCALL id = call;
    schedule_locked(5, [id] {
      std::vector<post> o;
      {
        std::lock_guard<std::mutex> lk(state().mu);
        auto f = state().calls.find(id);
        if (f == state().calls.end()) return;
        call_state_locked(id, f->second, LINECALLSTATE_IDLE, 0, o);
      }
      deliver(o);
    });
  }
  release_modem_line({device, call});
  deliver(out);
  return request;
}

LONG WINAPI lineDeallocateCall(HCALL call) {
  DWORD device;
  {
    std::lock_guard<std::mutex> l(state().mu);
    auto it = state().calls.find(call);
    if (it == state().calls.end()) return (LONG)LINEERR_INVALCALLHANDLE;
    // The only owner must drop the call and see it idle first.
    if (it->second.state != LINECALLSTATE_IDLE) return (LONG)LINEERR_INVALCALLSTATE;
    device = it->second.device;
    state().calls.erase(it);
  }
  release_modem_line({device, call});
  return 0;
}

LONG WINAPI lineGetCallStatus(HCALL call, LPLINECALLSTATUS status) {
  std::lock_guard<std::mutex> l(state().mu);
  auto it = state().calls.find(call);
  if (it == state().calls.end()) return (LONG)LINEERR_INVALCALLHANDLE;
  if (LONG e = begin_fixed(status)) return e;
  const call_state &c = it->second;
  status->dwCallState = c.state;
  status->dwCallStateMode = c.mode;
  status->dwCallPrivilege = LINECALLPRIVILEGE_OWNER;
  status->dwCallFeatures =
      (c.dial_allowed ? LINECALLFEATURE_DIAL : 0) | (c.state != LINECALLSTATE_IDLE ? LINECALLFEATURE_DROP : 0);
  return filled("lineGetCallStatus", status, 0);
}

LONG WINAPI lineGetIDA(HLINE, DWORD, HCALL call, DWORD select, LPVARSTRING id, LPCSTR cls) {
  if (select != LINECALLSELECT_CALL) return (LONG)LINEERR_INVALCALLSELECT;
  if (!datamodem_class(cls)) return (LONG)LINEERR_INVALDEVICECLASS;
  std::string name;
  DWORD device;
  {
    std::lock_guard<std::mutex> l(state().mu);
    auto it = state().calls.find(call);
    if (it == state().calls.end()) return (LONG)LINEERR_INVALCALLHANDLE;
    if (it->second.state != LINECALLSTATE_CONNECTED || it->second.ended) return (LONG)LINEERR_INVALCALLSTATE;
    device = it->second.device;
    name = "TAPI modem line " + std::to_string(device) + " #" + std::to_string(state().next_comm++);
  }
  auto dev = device_at(device);
  if (!dev) return (LONG)LINEERR_NODEVICE;
  if (dev->config().comm_id_without_handle)
    return filled("lineGetIDA", id, fill_varstring(id, STRINGFORMAT_BINARY, "", 0));
  // The handle, then the device's name; the handle is made only when the whole record fits.
  const std::string label = dev->config().name;
  const DWORD size = (DWORD)(sizeof(HANDLE) + label.size() + 1);
  if (LONG e = begin_fixed(id)) return e;
  id->dwStringFormat = STRINGFORMAT_BINARY;
  id->dwNeededSize = sizeof(VARSTRING) + size;
  if (id->dwTotalSize < id->dwNeededSize) return filled("lineGetIDA", id, 0);
  const std::string path = dev->data_line_path();
  if (path.empty()) return (LONG)LINEERR_INVALCALLSTATE;
  HANDLE h = open_comm_path(path, name, dev->config().baud, true);
  if (h == INVALID_HANDLE_VALUE) return (LONG)LINEERR_OPERATIONFAILED;
  BYTE *s = reinterpret_cast<BYTE *>(id) + sizeof(VARSTRING);
  memcpy(s, &h, sizeof h);
  memcpy(s + sizeof h, label.c_str(), label.size() + 1);
  id->dwStringOffset = sizeof(VARSTRING);
  id->dwStringSize = size;
  id->dwUsedSize = id->dwNeededSize;
  return filled("lineGetIDA", id, 0);
}

}  // extern "C"

namespace standin::tapi {

void post_call_state(DWORD st, DWORD detail) {
  std::vector<wb::post> out;
  {
    std::lock_guard<std::mutex> l(wb::state().mu);
    for (auto &c : wb::state().calls)
      if (!c.second.ended) wb::call_state_locked(c.first, c.second, st, detail, out);
  }
  wb::deliver(out);
}

void reply_for_another_request_first(LONG request, LONG result) {
  std::lock_guard<std::mutex> l(wb::state().mu);
  wb::state().foreign_reply = true;
  wb::state().foreign_request = request;
  wb::state().foreign_result = result;
}

void set_structure_hook(structure_hook h) {
  std::lock_guard<std::mutex> l(hook_mu);
  hook() = std::move(h);
}

}  // namespace standin::tapi
