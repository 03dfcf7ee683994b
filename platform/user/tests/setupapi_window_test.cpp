// SetupAPI over the device interfaces, windows and message queues, and device-change messages.
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>

#include <gtest/gtest.h>
#include <standin/kernel.h>
#include <zephtest/kernel.h>
#include <zephtest/overlapped.h>
#include <zephtest/wait.h>
#include <standin/pnp.h>
#include <standin/usbbus.h>
#include <simdev/instrument.h>
#include <simdev/usb_device.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "testdrv.h"

namespace {

namespace sk = standin::kernel;
namespace sp = standin::pnp;

const GUID kGuid = TD_INTERFACE_GUID_INIT;

class UserSide : public ::testing::Test {
 protected:
  void SetUp() override {
    zephtest::forget_violations();
    sp::install_driver("WbTest", WB_TESTDRV_PATH, {"WBTEST\\DEV"});
  }
  void TearDown() override {
    for (auto &i : added)
      if (sp::device_state(i) != "absent") sp::remove_device(i, false);
    EXPECT_TRUE(sp::settle());
    zephtest::expect_no_violations();
  }
  std::string add(const std::string &unique) {
    std::string i = sp::add_root_device("WBTEST\\DEV", unique);
    added.push_back(i);
    return i;
  }
  std::vector<std::string> added;
};

struct listed {
  std::string path, instance;
};

std::vector<listed> list_devices() {
  std::vector<listed> out;
  HDEVINFO set = SetupDiGetClassDevsA(&kGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_NE(set, INVALID_HANDLE_VALUE);
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kGuid, i, &data)) {
      EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);
      break;
    }
    DWORD need = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &need, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    std::vector<char> buf(need);
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buf.data());
    detail->cbSize = need;  // the buffer size is the classic mistake
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, need, nullptr, &dev));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, need - 1, nullptr, &dev));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, need, nullptr, &dev));
    DWORD id_need = 0;
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &dev, nullptr, 0, &id_need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    std::vector<char> id(id_need);
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(set, &dev, id.data(), id_need, nullptr));
    out.push_back({detail->DevicePath, id.data()});
  }
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
  return out;
}

TEST_F(UserSide, SetupApiListsTwoDevicesInOrderAndOpensThem) {
  EXPECT_TRUE(list_devices().empty());
  std::string a = add("A1"), b = add("A2");
  ASSERT_TRUE(sp::settle());
  auto devs = list_devices();
  ASSERT_EQ(devs.size(), 2u);
  EXPECT_EQ(devs[0].instance, a);
  EXPECT_EQ(devs[1].instance, b);
  EXPECT_EQ(devs[0].path, "\\\\?\\root#wbtest_dev#a1#{6f1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d}");
  HANDLE h = CreateFileA(devs[1].path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_EQ(sp::open_handles(b), 1);
  EXPECT_EQ(sp::open_handles(a), 0);
  CloseHandle(h);
  // The device key the driver side opens with IoOpenDeviceRegistryKey.
  HKEY key;
  std::string path = "SYSTEM\\CurrentControlSet\\Enum\\" + a + "\\Device Parameters";
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  // A removed device is no longer listed.
  sp::unplug_root_device(a);
  ASSERT_TRUE(sp::settle());
  devs = list_devices();
  ASSERT_EQ(devs.size(), 1u);
  EXPECT_EQ(devs[0].instance, b);
}

TEST_F(UserSide, SetupApiLoadsByNameAtRunTime) {
  HMODULE m = LoadLibraryA("setupapi.dll");
  ASSERT_NE(m, nullptr);
  for (const char *f : {"SetupDiGetClassDevsA", "SetupDiGetDeviceInterfaceDetailA", "SetupDiGetDeviceInstanceIdA",
                        "SetupDiDestroyDeviceInfoList", "SetupDiEnumDeviceInterfaces"})
    EXPECT_NE(GetProcAddress(m, f), nullptr) << f;
  FreeLibrary(m);
}

// ---- windows and messages ----

struct recorder {
  std::mutex mu;
  std::vector<UINT> messages;
  std::vector<std::pair<WPARAM, std::string>> changes;
  std::vector<GUID> guids;
  void add(UINT m) {
    std::lock_guard<std::mutex> l(mu);
    messages.push_back(m);
  }
};

LRESULT CALLBACK record_proc(HWND h, UINT msg, WPARAM w, LPARAM l) {
  if (msg == WM_NCCREATE) {
    auto *cs = reinterpret_cast<CREATESTRUCTA *>(l);
    SetWindowLongPtrA(h, GWLP_USERDATA, (LONG_PTR)cs->lpCreateParams);
  }
  auto *r = reinterpret_cast<recorder *>(GetWindowLongPtrA(h, GWLP_USERDATA));
  if (!r) return DefWindowProcA(h, msg, w, l);
  r->add(msg);
  if (msg == WM_DEVICECHANGE) {
    std::lock_guard<std::mutex> lk(r->mu);
    std::string path;
    if (l) {
      auto *b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A *>(l);
      path = b->dbcc_name;
      r->guids.push_back(b->dbcc_classguid);
    }
    r->changes.push_back({w, path});
    return 0;
  }
  if (msg == WM_DESTROY) {
    PostQuitMessage(5);
    return 0;
  }
  return DefWindowProcA(h, msg, w, l);
}

TEST(Windows, ClassesWindowsAndTheMessageLoop) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = record_proc;
  wc.cbWndExtra = 4;
  wc.lpszClassName = "WbRecorderClass";
  ASSERT_NE(RegisterClassA(&wc), 0);
  EXPECT_EQ(RegisterClassA(&wc), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_ALREADY_EXISTS);

  recorder rec;
  std::atomic<DWORD> tid{0};
  std::atomic<HWND> hwnd{nullptr};
  std::atomic<int> exit_code{-1};
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread t([&] {
    tid = GetCurrentThreadId();
    SetEvent(ready);
    HWND h = CreateWindowExA(WS_EX_TOOLWINDOW, "WbRecorderClass", "w", WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, &rec);
    hwnd = h;
    MSG m;
    int r;
    while ((r = GetMessageA(&m, nullptr, 0, 0)) != 0) {
      if (r == -1 || !m.hwnd) continue;
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
    exit_code = (int)m.wParam;
  });
  ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
  // Posting works only once the thread has a queue.
  EXPECT_TRUE(zephtest::wait_until([&] {
    if (PostThreadMessageA(tid, WM_USER, 0, 0)) return true;
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_THREAD_ID);
    return false;
  }));
  ASSERT_TRUE(zephtest::wait_until([&] { return hwnd.load() != nullptr; }));
  HWND h = hwnd.load();
  EXPECT_TRUE(IsWindow(h));
  EXPECT_EQ(GetWindowLongPtrA(h, GWLP_USERDATA), (LONG_PTR)&rec);  // a full pointer
  EXPECT_EQ(SetWindowLongA(h, 0, 0x1234), 0);
  EXPECT_EQ(GetWindowLongA(h, 0), 0x1234);
  EXPECT_TRUE(PostMessageA(h, WM_USER + 1, 1, 2));
  EXPECT_EQ(SendMessageA(h, WM_USER + 2, 0, 0), 0);  // another thread: waits until handled
  // The notifier's teardown: WM_DESTROY sent without waiting ends the loop.
  EXPECT_TRUE(SendNotifyMessageA(h, WM_DESTROY, 0, 0));
  zephtest::join(t);
  EXPECT_EQ(exit_code.load(), 5);
  EXPECT_FALSE(IsWindow(h));  // destroyed with its thread
  std::lock_guard<std::mutex> l(rec.mu);
  ASSERT_GE(rec.messages.size(), 2u);
  EXPECT_EQ(rec.messages[0], (UINT)WM_NCCREATE);
  EXPECT_EQ(rec.messages[1], (UINT)WM_CREATE);
  EXPECT_NE(std::find(rec.messages.begin(), rec.messages.end(), WM_USER + 1), rec.messages.end());
  EXPECT_NE(std::find(rec.messages.begin(), rec.messages.end(), WM_USER + 2), rec.messages.end());
  CloseHandle(ready);
  EXPECT_TRUE(UnregisterClassA("WbRecorderClass", nullptr));
}

// A hidden window on its own thread, registered for the test driver's interface class.
struct notifier {
  recorder rec;
  std::thread t;
  std::atomic<HWND> hwnd{nullptr};
  HDEVNOTIFY note = nullptr;
  explicit notifier(const char *cls) {
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    t = std::thread([this, cls, ready] {
      HWND h = CreateWindowExA(0, cls, "n", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, &rec);
      hwnd = h;
      SetEvent(ready);
      MSG m;
      while (GetMessageA(&m, nullptr, 0, 0) > 0) DispatchMessageA(&m);
    });
    EXPECT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
    CloseHandle(ready);
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kGuid;
    note = RegisterDeviceNotificationA(hwnd.load(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  }
  ~notifier() {
    UnregisterDeviceNotification(note);
    SendNotifyMessageA(hwnd.load(), WM_DESTROY, 0, 0);
    zephtest::join(t);
  }
  std::vector<std::pair<WPARAM, std::string>> changes() {
    std::lock_guard<std::mutex> l(rec.mu);
    return rec.changes;
  }
};

TEST_F(UserSide, ArrivalAndRemovalMessages) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = record_proc;
  wc.lpszClassName = "WbNotifierClass";
  RegisterClassA(&wc);
  {
    notifier n("WbNotifierClass");
    ASSERT_NE(n.note, nullptr);
    std::string inst = add("N1");
    ASSERT_TRUE(sp::settle());
    auto c = n.changes();
    std::string path = "\\\\?\\root#wbtest_dev#n1#{6f1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d}";
    ASSERT_FALSE(c.empty());
    auto arrival = std::find(c.begin(), c.end(), std::make_pair((WPARAM)DBT_DEVICEARRIVAL, path));
    EXPECT_NE(arrival, c.end());
    long arrival_at = arrival - c.begin();
    EXPECT_NE(std::find(c.begin(), c.end(), std::make_pair((WPARAM)DBT_DEVNODES_CHANGED, std::string())), c.end());
    {
      std::lock_guard<std::mutex> l(n.rec.mu);
      ASSERT_FALSE(n.rec.guids.empty());
      EXPECT_EQ(memcmp(&n.rec.guids[0], &kGuid, sizeof kGuid), 0);
    }
    sp::unplug_root_device(inst);
    ASSERT_TRUE(sp::settle());
    c = n.changes();
    auto removal = std::find(c.begin(), c.end(), std::make_pair((WPARAM)DBT_DEVICEREMOVECOMPLETE, path));
    EXPECT_NE(removal, c.end());
    EXPECT_GT(removal - c.begin(), arrival_at);
    // A window registered for another class hears only the node changes.
    size_t before = c.size();
    UnregisterDeviceNotification(n.note);
    EXPECT_FALSE(UnregisterDeviceNotification(n.note));
    n.note = nullptr;
    add("N2");
    ASSERT_TRUE(sp::settle());
    c = n.changes();
    for (size_t i = before; i < c.size(); ++i) EXPECT_EQ(c[i].first, (WPARAM)DBT_DEVNODES_CHANGED);
  }
  UnregisterClassA("WbNotifierClass", nullptr);
}

TEST(Windows, MsgWaitForMultipleObjectsWakesForMessagesAndObjects) {
  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  MSG m;
  PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);  // this thread gets its queue
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 10, QS_ALLINPUT), (DWORD)WAIT_TIMEOUT);
  ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER + 7, 0, 0));
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 1000, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
  // A wait for sent messages only is not ended by a posted one left in the queue.
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 10, QS_SENDMESSAGE), (DWORD)WAIT_TIMEOUT);
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)(WM_USER + 7));
  std::thread t([&] { SetEvent(ev); });
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 5000, QS_ALLINPUT), WAIT_OBJECT_0);
  zephtest::join(t);
  CloseHandle(ev);
}

struct parked_window {
  std::atomic<HWND> hwnd{nullptr};
  recorder rec;
};

DWORD WINAPI window_thread(LPVOID p) {
  auto *pw = static_cast<parked_window *>(p);
  pw->hwnd = CreateWindowExA(0, "WbParkedClass", "p", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, &pw->rec);
  MSG m;
  while (GetMessageA(&m, nullptr, 0, 0) > 0) DispatchMessageA(&m);
  return 0;
}

TEST_F(UserSide, ATerminatedWindowThreadDoesNotHoldUpDeviceChanges) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = record_proc;
  wc.lpszClassName = "WbParkedClass";
  RegisterClassA(&wc);
  parked_window pw;
  HANDLE t = CreateThread(nullptr, 0, window_thread, &pw, 0, nullptr);
  ASSERT_TRUE(zephtest::wait_until([&] { return pw.hwnd.load() != nullptr; }));
  HWND h = pw.hwnd.load();
  ASSERT_TRUE(TerminateThread(t, 0xFFFF));
  ASSERT_EQ(WaitForSingleObject(t, 20000), WAIT_OBJECT_0);
  add("P1");
  EXPECT_TRUE(sp::settle(5000));  // nobody is left to handle DBT_DEVNODES_CHANGED for that window
  EXPECT_FALSE(IsWindow(h));
  CloseHandle(t);
  UnregisterClassA("WbParkedClass", nullptr);
}

TEST_F(UserSide, DriverOnTheUsbBusTalksToTheInstrument) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = record_proc;
  wc.lpszClassName = "WbUsbNotifierClass";
  RegisterClassA(&wc);
  sp::install_driver("WbTest", WB_TESTDRV_PATH, {"USB\\VID_1A2B&PID_0100"});
  simdev::instrument_config cfg;
  cfg.serial_number = "U77";
  auto model = std::make_shared<simdev::instrument>(cfg);
  auto dev = std::make_shared<simdev::usb_device>(model);
  {
    notifier n("WbUsbNotifierClass");
    std::string inst = standin::usbbus::plug(dev);
    added.push_back(inst);
    EXPECT_EQ(inst, "USB\\VID_1A2B&PID_0100\\U77");
    ASSERT_TRUE(sp::settle());
    ASSERT_EQ(sp::device_state(inst), "started");
    auto devs = list_devices();
    ASSERT_EQ(devs.size(), 1u);
    EXPECT_EQ(devs[0].path, "\\\\?\\usb#vid_1a2b&pid_0100#u77#{6f1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d}");
    HANDLE h = CreateFileA(devs[0].path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED o{};
    o.hEvent = ev;
    unsigned char desc[18] = {};
    DWORD bytes = 0;
    if (!DeviceIoControl(h, IOCTL_TD_USB_DEVICE_DESCRIPTOR, nullptr, 0, desc, sizeof desc, &bytes, &o)) {
      ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
      ASSERT_TRUE(zephtest::finish(h, o, &bytes));
    }
    EXPECT_EQ(bytes, 18u);
    EXPECT_EQ(desc[8] | desc[9] << 8, 0x1A2B);
    unsigned char words[72];
    o = OVERLAPPED{};
    o.hEvent = ev;
    if (!DeviceIoControl(h, IOCTL_TD_USB_VENDOR_READ, nullptr, 0, words, sizeof words, &bytes, &o)) {
      ASSERT_TRUE(zephtest::finish(h, o, &bytes));
    }
    EXPECT_EQ(bytes, 72u);
    // Unplugged with the handle open: removal message now, REMOVE at the close.
    standin::usbbus::unplug(inst);
    ASSERT_TRUE(sp::settle());
    EXPECT_EQ(sp::device_state(inst), "surprise removed");
    auto c = n.changes();
    EXPECT_NE(std::find(c.begin(), c.end(), std::make_pair((WPARAM)DBT_DEVICEREMOVECOMPLETE, devs[0].path)), c.end());
    CloseHandle(h);
    CloseHandle(ev);
    ASSERT_TRUE(sp::settle());
    EXPECT_EQ(sp::device_state(inst), "absent");
  }
  UnregisterClassA("WbUsbNotifierClass", nullptr);
}

}  // namespace
