// Shared set-up of the tray program's user-interface tests: the program run on its own UI thread
// against a fresh device monitor, a scripted source of USB instruments beside the real sources, and
// the simulated acquisition driver for devices of the outside driver.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <standin/loader.h>
#include <standin/ui.h>

#include "app/app.h"
#include "app/resource.h"
#include "core_fixture.h"
#include "zephtest/wait.h"

namespace ui_test {

using namespace keelmon;

// A USB instrument as the instrument source would list it.
class scripted_instrument : public device_info {
 public:
  scripted_instrument(const std::string& product, const std::string& serial, uint32_t input_signal = 1)
      : device_info(kind_usb_instrument, "vantrel.sys") {
    product_ = product;
    serial_number_ = serial;
    device_version_ = "1.00";
    driver_version_ = "5.1.2.0";
    input_signal_ = input_signal;
  }
};

// A source of kind 256 whose devices the test plugs and unplugs; the changes are applied and reported
// on the monitor's worker, as the instrument source does.
class scripted_source : public notification_source {
 public:
  explicit scripted_source(device_monitor& monitor) : notification_source(kind_instrument_api, monitor) {}
  bool start() override {
    started_ = true;
    return true;
  }
  bool stop() override {
    started_ = false;
    purge();
    return true;
  }
  int update(uint32_t) override { return 0; }
  void poll() override {
    std::vector<std::function<void()>> work;
    {
      std::lock_guard<std::mutex> l(mu_);
      work.swap(pending_);
    }
    for (auto& w : work) w();
    polls_.fetch_add(1);
  }
  void plug(const std::string& key, const std::string& product, const std::string& serial, uint32_t input_signal = 1) {
    queue([=, this] {
      {
        device_monitor::guard hold(monitor_);
        devices_[key] = std::make_unique<scripted_instrument>(product, serial, input_signal);
        device_count_ = (int)devices_.size();
      }
      monitor_.notify(change_added, this);
    });
  }
  void unplug(const std::string& key) {
    queue([=, this] {
      {
        device_monitor::guard hold(monitor_);
        auto it = devices_.find(key);
        if (it == devices_.end()) return;
        removed_.push_back(std::move(it->second));
        devices_.erase(it);
        device_count_ = (int)devices_.size();
      }
      monitor_.notify(change_removed, this);
    });
  }
  // Every device goes in one change, as a removal scan may find several gone at once.
  void unplug_all() {
    queue([this] {
      {
        device_monitor::guard hold(monitor_);
        for (auto& [key, device] : devices_) removed_.push_back(std::move(device));
        devices_.clear();
        device_count_ = 0;
      }
      monitor_.notify(change_removed, this);
    });
  }
  unsigned polls() const { return polls_.load(); }

 private:
  void queue(std::function<void()> w) {
    std::lock_guard<std::mutex> l(mu_);
    pending_.push_back(std::move(w));
  }
  std::mutex mu_;
  std::vector<std::function<void()>> pending_;
  std::atomic<unsigned> polls_{0};
};

// What the test learns of the application's start and end; it outlives the application.
struct app_observations {
  std::atomic<BOOL> init_result{FALSE};
  zephtest::flag init_done;
  std::atomic<size_t> icons_at_exit{0};
};

// The application with its start and end observed.
class observed_app : public CDeviceManagerApp {
 public:
  observed_app(device_monitor& monitor, app_observations& seen) : CDeviceManagerApp(monitor), seen_(seen) {}
  BOOL InitInstance() override {
    BOOL r = CDeviceManagerApp::InitInstance();
    seen_.init_result = r;
    seen_.init_done.set();
    return r;
  }
  int ExitInstance() override {
    seen_.icons_at_exit = standin::ui::tray_icons().size();
    return CDeviceManagerApp::ExitInstance();
  }

 private:
  app_observations& seen_;
};

// The program on its own UI thread: the monitor, the scripted source and the application are made,
// run and destroyed there (windows belong to the thread that made them).
class program {
 public:
  explicit program(bool with_scripted_source = true) : scripted_(with_scripted_source) {}
  ~program() {
    if (!thread_.joinable()) return;
    if (!quit()) {
      // A program that does not end would keep using this object: stop the case here.
      ADD_FAILURE() << "the program did not end in time";
      std::abort();
    }
    zephtest::join(thread_);
  }

  // Starts the program; true once its start-up returned (its result in init_result()).
  bool start() {
    thread_ = std::thread([this] {
      {
        device_monitor monitor;
        if (scripted_) {
          auto s = std::make_unique<scripted_source>(monitor);
          source_ = s.get();
          monitor.add_source(std::move(s));
        }
        observed_app app(monitor, seen_);
        app_.store(&app);
        app.execute(GetModuleHandleA(nullptr));
        app_.store(nullptr);
        source_ = nullptr;
      }
      finished_.set();
    });
    return seen_.init_done.wait() || finished_.wait();
  }
  // Asks the program to end (as "Close application" does) and waits for it.
  bool quit() {
    if (observed_app* a = app_.load())
      if (CDeviceListDlg* d = a->main_dialog()) PostMessageA(d->hwnd(), WM_QUIT, 0, 0);
    return finished_.wait();
  }
  bool wait_finished() { return finished_.wait(); }
  bool finished() const { return finished_.is_set(); }
  observed_app* app() const { return app_.load(); }
  scripted_source* source() const { return source_; }
  HWND main_window() const {
    observed_app* a = app_.load();
    return a && a->main_dialog() ? a->main_dialog()->hwnd() : nullptr;
  }
  HWND list() const { return GetDlgItem(main_window(), IDC_DEVICE_LIST); }
  size_t icons_at_exit() const { return seen_.icons_at_exit.load(); }
  BOOL init_result() const { return seen_.init_result.load(); }

 private:
  bool scripted_;
  std::thread thread_;
  std::atomic<observed_app*> app_{nullptr};
  std::atomic<scripted_source*> source_{nullptr};
  zephtest::flag finished_;
  app_observations seen_;
};

// Every test starts with a clean user interface and no instrument library (the scripted source stands
// for the USB instruments).
class ui_fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::ui::reset();
    answer_boxes_at_once();
    standin::loader::hide_library("morvex");
  }
  // Boxes answer IDOK as soon as they show; a case that needs them modal (up until it answers them,
  // their owner disabled) calls standin::ui::on_message_box(nullptr).
  static void answer_boxes_at_once() {
    standin::ui::on_message_box([](const standin::ui::message_box&) { return IDOK; });
  }
  void TearDown() override {
    standin::loader::unhide_all();
    standin::ui::reset();
  }

  static std::vector<std::string> box_texts() {
    std::vector<std::string> r;
    for (auto& b : standin::ui::message_boxes()) r.push_back(b.text);
    return r;
  }
  static bool has_box(const std::string& text) {
    for (auto& b : standin::ui::message_boxes())
      if (b.text == text) return true;
    return false;
  }
  static size_t icon_count() { return standin::ui::tray_icons().size(); }
};

}  // namespace ui_test
