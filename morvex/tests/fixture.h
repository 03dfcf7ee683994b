// The instrument API as clients reach it (morvex8 loaded by name) over the fake instrument.
#ifndef MORVEX_TESTS_FIXTURE_H
#define MORVEX_TESTS_FIXTURE_H

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <mutex>
#include <vector>

#include <w32cpp/loader.h>

#include <morvex/morvex.h>

#include "fake_instrument.h"
#include "zephtest/wait.h"

#ifndef MORVEX_TEST_LIBRARY
#define MORVEX_TEST_LIBRARY "morvex8"
#endif

namespace morvex_test {

struct api_lib : w32cpp::dynamic_link_instance<morvex::iapi> {
    api_lib() : w32cpp::dynamic_link_instance<morvex::iapi>(MORVEX_TEST_LIBRARY, "morvex_get_instance") {}
};

// One bulk instrument on the fake, registered with the device manager.
inline fake_instrument* plug_instrument(karnet::protocol_handle& holder) {
    fake_instrument* device = fake_instrument::make(holder);
    device->plug("inst1", zeph_wire::device_interface_guid_bulk);
    device->start();
    return device;
}

// A session on the first bulk instrument listed (an empty proxy when there is none).
inline morvex::zeph_session open_first(morvex::iapi& api) {
    karnet::interface_list list =
        api.device_manager()->device_interfaces(karnet::guid(zeph_wire::device_interface_guid_bulk));
    if (list.empty()) return morvex::zeph_session();
    return api.open_session(api.device_manager()->create_session(list.front()));
}

class InstrumentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(api) << MORVEX_TEST_LIBRARY " did not load";
        ASSERT_TRUE(api->device_manager());
        device = plug_instrument(holder);
        session = open();
        ASSERT_TRUE(session.is_open());
    }
    void TearDown() override {
        session.on_device_removed();
        device->stop();
    }

    morvex::zeph_session open() { return open_first(*api.get()); }

    api_lib api;
    karnet::protocol_handle holder;
    fake_instrument* device = nullptr;
    morvex::zeph_session session;
};

// The session in bulk mode, its scheduler running.
class ActiveInstrumentTest : public InstrumentTest {
protected:
    void SetUp() override {
        InstrumentTest::SetUp();
        ASSERT_EQ(session.set_mode(1, 0, 0).get_code(), 0u);
    }
    // Three reads in flight once the scheduler runs (none once it stopped).
    bool reads_posted(size_t n = 3) {
        return zephtest::wait_until([&] { return device->notification_reads() == n; });
    }
};

// Records what a session's observers and stream hand over.
struct recorder : morvex::zeph_notification_observer {
    recorder(uint32_t mask = 0, bool all = true) : zeph_notification_observer(mask, all) {}
    void on_event(uint16_t code, const morvex::event_data& data) override {
        std::lock_guard<std::mutex> g(m);
        codes.push_back(code);
        tags.push_back(data.size() == record_data_size ? data.data()[0] : 0xEE);
    }
    void on_error(DWORD status) override {
        std::lock_guard<std::mutex> g(m);
        errors.push_back(status);
    }
    void on_stopped() override { ++stopped; }
    size_t events() {
        std::lock_guard<std::mutex> g(m);
        return codes.size();
    }
    std::vector<DWORD> error_list() {
        std::lock_guard<std::mutex> g(m);
        return errors;
    }
    std::mutex m;
    std::vector<uint16_t> codes;
    std::vector<uint8_t> tags;
    std::vector<DWORD> errors;
    std::atomic<int> stopped{0};
};

}  // namespace morvex_test

#endif
