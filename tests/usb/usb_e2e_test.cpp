// The USB path as the instrument API uses it: the device manager (karnet8) and the USB transport (quillon8)
// loaded by name, the driver (vantrel) loaded by the kernel stand-in, and the simulated instrument on the
// simulated bus. Everything below the instrument API: listing, descriptions, sessions, device-control codes,
// bulk and isochronous data, notifications, removal and re-plug.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <karnet/iapi.h>
#include <morvex/wire.h>
#include <quillon/quillon_lib.h>
#include <simdev/instrument.h>
#include <simdev/usb_device.h>
#include <standin/kernel.h>
#include <standin/pnp.h>
#include <standin/usbbus.h>
#include <w32cpp/callback.h>

#include "fake_protocol.h"
#include "zephtest/modules.h"
#include "zephtest/wait.h"

namespace usb_e2e {
namespace {

using namespace zeph_wire;

// "Wdm " as the pool counts it.
constexpr uint32_t pool_tag = 'W' | ('d' << 8) | ('m' << 16) | (' ' << 24);
constexpr DWORD deadline_ms = 20000;

struct interface_class {
    const GUID* guid;
    const char* text;  // as the interface path carries it
    const char* name;  // for the notice log
};
const interface_class classes[] = {
    {&device_interface_guid_main, "{b8450235-702b-4d26-a97a-edf363c41cc4}", "main"},
    {&device_interface_guid_bulk, "{b700efa4-9c81-4de5-bca2-f4eef82ea099}", "bulk"},
    {&device_interface_guid_iso, "{f5a676bd-5d13-4046-904e-8ae68ff4013e}", "iso"},
};
const interface_class& main_class = classes[0];
const interface_class& bulk_class = classes[1];
const interface_class& iso_class = classes[2];

std::string interface_path(const std::string& serial, const interface_class& c) {
    std::string s;
    for (char ch : serial) s += static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    return "\\\\?\\usb#vid_1a2b&pid_0100#" + s + "#" + c.text;
}

std::vector<std::string> names(const karnet::interface_list& list) {
    std::vector<std::string> out;
    for (const auto& d : list) out.push_back(d.name());
    return out;
}

std::string joined(const std::vector<std::string>& v) {
    std::string s;
    for (auto& x : v) s += x + "\n";
    return s;
}

// The device manager's arrival and removal notices, as "arrival main", "removal iso" ...
struct notice_log {
    void arrival(karnet::protocol_handle&, karnet::guid& g) { add("arrival", g); }
    void removal(karnet::protocol_handle&, karnet::guid& g) { add("removal", g); }
    void add(const char* kind, const karnet::guid& g) {
        std::string name = "other";
        for (auto& c : classes)
            if (g == karnet::guid(*c.guid)) name = c.name;
        std::lock_guard<std::mutex> l(mu);
        entries.push_back(std::string(kind) + " " + name);
    }
    int count(const std::string& entry) {
        std::lock_guard<std::mutex> l(mu);
        int n = 0;
        for (auto& e : entries) n += e == entry;
        return n;
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> l(mu);
        std::vector<std::string> out;
        out.swap(entries);
        return out;
    }
    std::mutex mu;
    std::vector<std::string> entries;
};

// Which instrument a case runs on.
struct variant {
    uint8_t configurations;  // 2: "Bulk" and "Isochrone"; 1: "Bulk" alone
    bool late_completion;    // the bus completes control and selection requests from its own thread
    const char* label;
};

// Names the case in test lists (the default would print the object's bytes, padding included).
void PrintTo(const variant& v, std::ostream* os) { *os << v.label; }

class UsbEndToEnd : public ::testing::TestWithParam<variant> {
protected:
    void SetUp() override {
        standin::kernel::take_violations();
        standin::kernel::clear_pool_failures();
        standin::usbbus::set_asynchronous_completion(GetParam().late_completion);
        standin::pnp::install_driver("vantrel", VANTREL_PATH, {"USB\\VID_1A2B&PID_0100"});
        ASSERT_TRUE(manager_lib) << "karnet8 did not load";
        ASSERT_TRUE(transport_lib) << "quillon8 did not load";
        transport().start();
        ASSERT_TRUE(transport().protocol());
        arrival_cb = w32cpp::make_member_callback(&log, &notice_log::arrival);
        removal_cb = w32cpp::make_member_callback(&log, &notice_log::removal);
        manager().arrival_listeners().add(arrival_cb);
        manager().removal_listeners().add(removal_cb);
        // Listing a class makes the manager watch it.
        for (auto& c : classes) EXPECT_TRUE(listed(c).empty()) << c.name;
    }

    void TearDown() override {
        session.reset();
        // A case may have released the libraries itself.
        if (manager_lib) {
            manager().arrival_listeners().remove(arrival_cb);
            manager().removal_listeners().remove(removal_cb);
        }
        if (transport_lib) transport().stop();
        if (!instance.empty()) others.push_back(instance);
        for (auto& i : others)
            if (standin::pnp::device_state(i) != "absent") standin::usbbus::unplug(i);
        EXPECT_TRUE(standin::pnp::settle());
        EXPECT_TRUE(zephtest::wait_until([] { return !standin::pnp::driver_loaded("vantrel"); }))
            << "driver still loaded";
        EXPECT_EQ(standin::kernel::pool_blocks(pool_tag), 0u) << "driver pool blocks left";
        standin::usbbus::set_asynchronous_completion(false);
        auto v = standin::kernel::take_violations();
        EXPECT_TRUE(v.empty()) << joined(v);
    }

    karnet::iapi& manager() { return *manager_lib.get(); }
    fileio::iapi& transport() { return *transport_lib.get(); }
    karnet::interface_list listed(const interface_class& c) {
        return manager().device_interfaces(karnet::guid(*c.guid));
    }
    bool has_iso() const { return GetParam().configurations == 2; }

    // The classes the instrument's driver publishes.
    std::vector<const interface_class*> published() const {
        std::vector<const interface_class*> out{&main_class, &bulk_class};
        if (has_iso()) out.push_back(&iso_class);
        return out;
    }

    // The case's kind of instrument with these identity strings.
    simdev::instrument_config config(const std::string& serial_number, const char* product = "E2E Product",
                                     const char* manufacturer = "E2E Maker", uint16_t bcd = 0x0342) const {
        simdev::instrument_config cfg;
        cfg.configurations = GetParam().configurations;
        cfg.serial_number = serial_number;
        cfg.product = product;
        cfg.manufacturer = manufacturer;
        cfg.bcd_device = bcd;
        return cfg;
    }

    // Plugs the instrument (a new one, or `model` again) and waits until the manager announced every
    // interface of it.
    void plug(std::shared_ptr<simdev::instrument> again = nullptr) {
        if (!again) again = std::make_shared<simdev::instrument>(config(serial));
        model = again;
        usb = std::make_shared<simdev::usb_device>(model);
        instance = standin::usbbus::plug(usb);
        ASSERT_TRUE(standin::pnp::settle());
        ASSERT_EQ(standin::pnp::device_state(instance), "started");
        for (auto* c : published())
            EXPECT_TRUE(zephtest::wait_until([&] { return log.count(std::string("arrival ") + c->name) > 0; }))
                << "no arrival of " << c->name;
    }

    void unplug() {
        standin::usbbus::unplug(instance);
        ASSERT_TRUE(standin::pnp::settle());
    }

    // A session on the instrument's interface of class `c`.
    void open(const interface_class& c) {
        session.reset();
        karnet::interface_list l = listed(c);
        ASSERT_EQ(l.size(), 1u) << c.name;
        session = std::make_unique<karnet::io_session>(manager().create_session(l.front()));
        ASSERT_TRUE(session->is_open());
    }

    // A device-control request with its result code; `bytes` gets what it returned.
    DWORD control(DWORD code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                  uint32_t* bytes = nullptr) {
        karnet::io_control op = session->control_on_memory(code, out, out_size, const_cast<void*>(in), in_size);
        DWORD e = session->control_and_wait(op, deadline_ms).get_code();
        if (bytes) *bytes = op.request()->bytes();
        return e;
    }
    DWORD mode(uint8_t m, uint8_t setting1 = 0) {
        uint8_t in[SELECT_MODE_INPUT] = {m, setting1, 0, 0};
        return control(IOCTL_SELECT_MODE, in, sizeof in, nullptr, 0);
    }
    // A vendor request: `data` goes out after the header; a read returns `reply_words` words.
    DWORD vendor(DWORD code, uint32_t word, uint16_t value, const std::vector<uint8_t>& data, uint32_t reply_words = 0,
                 std::vector<uint8_t>* reply = nullptr, uint32_t* bytes = nullptr) {
        std::vector<uint8_t> in(HEADER_SIZE);
        header_view{in.data()}.write(word, value,
                                     code == IOCTL_VENDOR_READ ? reply_words : uint32_t(data.size() / WORD_SIZE));
        in.insert(in.end(), data.begin(), data.end());
        std::vector<uint8_t> out(code == IOCTL_VENDOR_READ ? HEADER_SIZE + WORD_SIZE * reply_words : 0);
        DWORD e = control(code, in.data(), uint32_t(in.size()), out.empty() ? nullptr : out.data(),
                          uint32_t(out.size()), bytes);
        if (reply) *reply = out;
        return e;
    }
    static std::vector<uint8_t> words(std::initializer_list<uint32_t> values) {
        std::vector<uint8_t> out;
        for (uint32_t v : values) {
            uint8_t w[3];
            put24(w, v);
            out.insert(out.end(), w, w + 3);
        }
        return out;
    }
    // A string descriptor's text through its index code, the length code and the string code.
    std::u16string string_of(DWORD index_code) {
        uint8_t index = 0;
        EXPECT_EQ(control(index_code, nullptr, 0, &index, 1), 0u);
        uint8_t length = 0;
        uint8_t in = index;
        EXPECT_EQ(control(IOCTL_GET_STRING_LENGTH, &in, 1, &length, 1), 0u);
        std::vector<uint8_t> text(length + 2u, 0xCC);
        uint32_t bytes = 0;
        EXPECT_EQ(control(IOCTL_GET_STRING, &in, 1, text.data(), uint32_t(text.size()), &bytes), 0u);
        EXPECT_EQ(bytes, length + 2u);
        std::u16string s(length / 2, u'\0');
        std::memcpy(s.data(), text.data(), length);
        return s;
    }
    // A notification request, submitted.
    struct notice_request {
        karnet::io_control op;
        karnet::assync_handle request;
        const uint8_t* record() const { return op.output().bytes(); }
    };
    notice_request notification() {
        karnet::io_control op = session->control_of_size(IOCTL_READ_NOTIFICATION, NOTIFY_SIZE, 0);
        karnet::assync_handle a = session->submit_control(op);
        return {op, a};
    }

    const std::string serial = "E2E-7";
    karnet::karnet_lib manager_lib;
    fileio::quillon_lib transport_lib;
    notice_log log;
    w32cpp::auto_handle<karnet::device_callback> arrival_cb, removal_cb;
    std::shared_ptr<simdev::instrument> model;
    std::shared_ptr<simdev::usb_device> usb;
    std::string instance;
    std::vector<std::string> others;  // further instruments a case plugged
    std::unique_ptr<karnet::io_session> session;
};

TEST_P(UsbEndToEnd, ListsTheInterfaceClassesWithTheDescriptionsTheDriverWrote) {
    plug();
    for (auto& c : classes) {
        karnet::interface_list l = listed(c);
        if (&c == &iso_class && !has_iso()) {
            EXPECT_TRUE(l.empty()) << "a Bulk-only instrument has no isochronous interface";
            continue;
        }
        ASSERT_EQ(names(l), std::vector<std::string>{interface_path(serial, c)}) << c.name;
        EXPECT_EQ(l.front().interface_class(), karnet::guid(*c.guid));
        const karnet::device_description d = l.front().description();
        EXPECT_EQ(d.instance_id, instance);
        EXPECT_EQ(d.key_prefix, "SYSTEM\\CurrentControlSet\\Enum\\");
        EXPECT_EQ(d.key_suffix, "\\Device Parameters");
        EXPECT_EQ(d.protocol_name, "wdm");
        EXPECT_EQ(d.product, "E2E Product");
        EXPECT_EQ(d.serial_number, serial);
        EXPECT_EQ(d.manufacturer, "E2E Maker");
        EXPECT_EQ(d.bcd_device, 0x0342u);
    }
    // One arrival per published class, nothing else.
    std::vector<std::string> seen = log.take();
    EXPECT_EQ(seen.size(), published().size()) << joined(seen);
    // The driver lets one handle in at a time: a second session on any interface of it does not open.
    open(main_class);
    karnet::io_session other = manager().create_session(listed(bulk_class).front());
    EXPECT_FALSE(other.is_open());
}

TEST_P(UsbEndToEnd, VendorRequestsStringsAndVersionThroughASession) {
    plug();
    open(main_class);
    // Descriptor codes answer in any mode.
    uint8_t bcd[2] = {};
    uint32_t bytes = 0;
    ASSERT_EQ(control(IOCTL_GET_BCD_DEVICE, nullptr, 0, bcd, 2, &bytes), 0u);
    EXPECT_EQ(bytes, 2u);
    EXPECT_EQ(get16(bcd), 0x0342);
    EXPECT_EQ(string_of(IOCTL_GET_PRODUCT_INDEX), u"E2E Product");
    EXPECT_EQ(string_of(IOCTL_GET_SERIAL_NUMBER_INDEX), u"E2E-7");
    EXPECT_EQ(string_of(IOCTL_GET_MANUFACTURER_INDEX), u"E2E Maker");
    // Vendor requests wait for a mode.
    EXPECT_EQ(vendor(IOCTL_VENDOR_COMMAND, 0x000003, 3, {}), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(mode(MODE_BULK), 0u);
    EXPECT_EQ(model->configuration(), 1);
    // Write 12 configuration words, read the 24 back: the rest cleared.
    std::vector<uint8_t> config;
    for (uint32_t i = 0; i < 12; ++i) {
        auto w = words({0x100000 + i * 0x010101});
        config.insert(config.end(), w.begin(), w.end());
    }
    ASSERT_EQ(vendor(IOCTL_VENDOR_WRITE, 0x000002, 1, config), 0u);
    std::vector<uint8_t> reply;
    ASSERT_EQ(vendor(IOCTL_VENDOR_READ, 0x000002, 3, {}, 24, &reply, &bytes), 0u);
    EXPECT_EQ(bytes, HEADER_SIZE + 72);
    EXPECT_TRUE(std::equal(config.begin(), config.end(), reply.begin() + HEADER_SIZE));
    EXPECT_TRUE(std::all_of(reply.begin() + HEADER_SIZE + 36, reply.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(model->normal_config().at(11), 0x100000u + 11 * 0x010101);
    // A memory page: select, write, read back.
    ASSERT_EQ(vendor(IOCTL_VENDOR_COMMAND, 0x010230, 5, {}), 0u);
    ASSERT_EQ(vendor(IOCTL_VENDOR_WRITE, 0x010232, 10, words({0xABCDEF, 0x123456})), 0u);
    ASSERT_EQ(vendor(IOCTL_VENDOR_READ, 0x010231, 10, {}, 2, &reply), 0u);
    EXPECT_EQ(get24(reply.data() + HEADER_SIZE), 0xABCDEFu);
    EXPECT_EQ(get24(reply.data() + HEADER_SIZE + 3), 0x123456u);
    EXPECT_EQ(model->memory_word(2, 2, 5, 11), 0x123456u);
    // A request the instrument refuses reaches the caller as an error, and the next one works.
    EXPECT_EQ(vendor(IOCTL_VENDOR_WRITE, 0x000002, 2, words({1})), static_cast<DWORD>(ERROR_IO_DEVICE));
    ASSERT_EQ(vendor(IOCTL_VENDOR_READ, 0x000004, 1, {}, 5, &reply), 0u);
    EXPECT_EQ(get24(reply.data() + HEADER_SIZE + 9), 1u) << "configuration kind: normal";
}

TEST_P(UsbEndToEnd, BulkDataBothWaysAndANotification) {
    plug();
    open(bulk_class);
    ASSERT_EQ(mode(MODE_BULK), 0u);
    notice_request started_n = notification(), ended_n = notification();
    karnet::assync_handle started = started_n.request, ended = ended_n.request;
    ASSERT_TRUE(started && ended);
    // A measurement of five blocks; each read takes one message, the framing removed.
    constexpr uint32_t blocks = 5;
    ASSERT_EQ(vendor(IOCTL_VENDOR_WRITE, 0x000003, 1, words({blocks})), 0u);
    uint64_t offset = 0;
    for (uint32_t i = 0; i < blocks; ++i) {
        karnet::io_read rd = session->read_of_size(512, true);
        ASSERT_EQ(session->read_and_wait(rd, deadline_ms).get_code(), 0u) << "block " << i;
        ASSERT_EQ(rd.request()->bytes(), 200u) << "block " << i;
        const uint8_t* b = rd.buffer().bytes();
        EXPECT_EQ(get16(b), 1);
        ASSERT_EQ(get16(b + 2), 196);
        EXPECT_FALSE(simdev::check_pattern(simdev::seed::measurement, offset, std::span<const uint8_t>(b + 4, 196)))
            << "block " << i;
        offset += 196;
    }
    // The run's start and end arrive in order on the two notification requests.
    ASSERT_EQ(started->wait_for(deadline_ms).get_code(), 0u);
    ASSERT_EQ(started->result(false).get_code(), 0u);
    EXPECT_EQ(started->bytes(), NOTIFY_SIZE);
    EXPECT_EQ(notify_code(started_n.record()), simdev::event::run_started);
    ASSERT_EQ(ended->wait_for(deadline_ms).get_code(), 0u);
    ASSERT_EQ(ended->result(false).get_code(), 0u);
    const uint8_t* record = ended_n.record();
    EXPECT_EQ(notify_code(record), simdev::event::run_ended);
    EXPECT_EQ(get16(record + NOTIFY_DATA_OFFSET), blocks) << "the run's block count";
    // One the test raises.
    notice_request raised_n = notification();
    karnet::assync_handle raised = raised_n.request;
    const uint8_t data[3] = {0x5A, 0xA5, 0x0F};
    model->raise_event(0x0321, data);
    ASSERT_EQ(raised->wait_for(deadline_ms).get_code(), 0u);
    EXPECT_EQ(notify_code(raised_n.record()), 0x0321);
    EXPECT_EQ(std::memcmp(raised_n.record() + NOTIFY_DATA_OFFSET, data, 3), 0);
    // Writes arrive as whole messages, whatever their size.
    model->take_received_messages();
    for (uint32_t size : {1u, 64u, 4099u}) {
        karnet::io_write w = session->write_of_size(size, false);
        simdev::fill_pattern(0x57000000 + size, 0, std::span<uint8_t>(w.buffer().bytes(), size));
        ASSERT_EQ(session->write_and_wait(w, deadline_ms).get_code(), 0u) << size;
        EXPECT_EQ(w.request()->bytes(), size);
        auto got = model->take_received_messages();
        ASSERT_EQ(got.size(), 1u) << size;
        EXPECT_FALSE(simdev::check_pattern(0x57000000 + size, 0, got[0])) << size;
        EXPECT_EQ(got[0].size(), size);
    }
    // A flash write: the written message is stored, the instrument answers on bulk IN.
    std::vector<uint8_t> flash(100);
    simdev::fill_pattern(0x61000000, 0, flash);
    ASSERT_EQ(vendor(IOCTL_VENDOR_WRITE, 0x000001, 4, words({0x200, 100})), 0u);
    karnet::io_write fw = session->write_on_memory(flash.data(), 100, false);
    ASSERT_EQ(session->write_and_wait(fw, deadline_ms).get_code(), 0u);
    karnet::io_read answer = session->read_of_size(64, true);
    ASSERT_EQ(session->read_and_wait(answer, deadline_ms).get_code(), 0u);
    ASSERT_EQ(answer.request()->bytes(), 3u);
    EXPECT_EQ(get16(answer.buffer().bytes()), 1) << "stored";
    EXPECT_EQ(model->flash(0x200, 100), flash);
}

TEST_P(UsbEndToEnd, IsochronousStreamOnTheIsochroneConfiguration) {
    plug();
    if (!has_iso()) {
        // The Bulk-only instrument refuses the mode.
        open(main_class);
        EXPECT_EQ(mode(MODE_ISO, 1), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
        EXPECT_EQ(mode(MODE_BULK), 0u);
        return;
    }
    open(iso_class);
    ASSERT_EQ(mode(MODE_ISO, 2), 0u);
    EXPECT_EQ(model->configuration(), 2);
    EXPECT_EQ(model->alternate_setting(1), 2);
    ASSERT_EQ(vendor(IOCTL_VENDOR_WRITE, 0x000003, 1, words({0})), 0u);  // until stopped
    for (int i = 0; i < 3; ++i) {
        karnet::io_read rd = session->read_of_size(960, false);
        ASSERT_EQ(session->read_and_wait(rd, deadline_ms).get_code(), 0u) << "read " << i;
        ASSERT_EQ(rd.request()->bytes(), 960u);
        const uint8_t* b = rd.buffer().bytes();
        // Continuous inside one read: its offset from the first sequence number.
        uint32_t v = get16(b) | uint32_t(get16(b + 2)) << 16;
        EXPECT_FALSE(simdev::check_pattern(simdev::seed::measurement, uint64_t(v - simdev::seed::measurement) * 4,
                                           std::span<const uint8_t>(b, 960)))
            << "read " << i;
    }
    EXPECT_EQ(vendor(IOCTL_VENDOR_COMMAND, 0x000003, 3, {}), 0u);
    // Back to the Bulk configuration on the same handle.
    ASSERT_EQ(mode(MODE_BULK), 0u);
    EXPECT_EQ(model->configuration(), 1);
}

TEST_P(UsbEndToEnd, RemovalEndsRequestsInFlightAndReplugComesBack) {
    plug();
    open(bulk_class);
    ASSERT_EQ(mode(MODE_BULK), 0u);
    // Nothing to read and no event: both wait in the driver.
    notice_request waiting = notification();
    karnet::assync_handle note = waiting.request;
    karnet::io_read rd = session->read_of_size(512, false);
    karnet::assync_handle reading = session->submit_read(rd);
    ASSERT_TRUE(note && reading);
    EXPECT_EQ(reading->wait_for(10).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
    log.take();
    unplug();
    ASSERT_EQ(note->wait_for(deadline_ms).get_code(), 0u);
    EXPECT_EQ(note->result(false).get_code(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    ASSERT_EQ(reading->wait_for(deadline_ms).get_code(), 0u);
    EXPECT_EQ(reading->result(false).get_code(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    EXPECT_EQ(reading->bytes(), 0u);
    for (auto* c : published())
        EXPECT_TRUE(zephtest::wait_until([&] { return log.count(std::string("removal ") + c->name) > 0; }))
            << "no removal of " << c->name;
    EXPECT_FALSE(session->is_open()) << "the removal closes the session";
    for (auto& c : classes) EXPECT_TRUE(listed(c).empty()) << c.name;
    std::vector<std::string> seen = log.take();
    EXPECT_EQ(seen.size(), published().size()) << joined(seen);
    EXPECT_TRUE(standin::pnp::settle());
    EXPECT_TRUE(zephtest::wait_until([] { return !standin::pnp::driver_loaded("vantrel"); }));

    // The same instrument again: announced, listed once, and it works.
    model->replug();
    plug(model);
    for (auto* c : published()) EXPECT_EQ(names(listed(*c)), std::vector<std::string>{interface_path(serial, *c)});
    EXPECT_EQ(log.take().size(), published().size());
    open(main_class);
    ASSERT_EQ(mode(MODE_BULK), 0u);
    ASSERT_EQ(vendor(IOCTL_VENDOR_WRITE, 0x000003, 1, words({1})), 0u);
    karnet::io_read block = session->read_of_size(512, false);
    ASSERT_EQ(session->read_and_wait(block, deadline_ms).get_code(), 0u);
    ASSERT_EQ(block.request()->bytes(), 200u);
    EXPECT_FALSE(
        simdev::check_pattern(simdev::seed::measurement, 0, std::span<const uint8_t>(block.buffer().bytes() + 4, 196)));
}

TEST_P(UsbEndToEnd, InstrumentThatRemovesItselfInTheMiddleOfABulkRead) {
    plug();
    open(main_class);
    ASSERT_EQ(mode(MODE_BULK), 0u);
    // A 20000-byte flash dump, cut after 5000 bytes.
    ASSERT_EQ(vendor(IOCTL_VENDOR_WRITE, 0x000001, 3, words({0, 19998})), 0u);
    model->faults().remove_after_bulk_in(5000);
    karnet::io_read rd = session->read_of_size(30000, false);
    EXPECT_EQ(session->read_and_wait(rd, deadline_ms).get_code(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    for (auto* c : published())
        EXPECT_TRUE(zephtest::wait_until([&] { return log.count(std::string("removal ") + c->name) > 0; }))
            << "no removal of " << c->name;
    EXPECT_FALSE(session->is_open());
    EXPECT_TRUE(listed(main_class).empty());
}

TEST_P(UsbEndToEnd, TimedOutRequestStaysPendingAndCancelFromAnotherThreadEndsIt) {
    plug();
    open(bulk_class);
    ASSERT_EQ(mode(MODE_BULK), 0u);
    // A notification that times out stays pending and completes with the next record.
    notice_request n = notification();
    EXPECT_EQ(n.request->wait_for(10).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(n.request->done());
    const uint8_t data[1] = {9};
    model->raise_event(0x0777, data);
    ASSERT_EQ(n.request->wait_for(deadline_ms).get_code(), 0u);
    EXPECT_EQ(n.request->result(false).get_code(), 0u);
    EXPECT_EQ(notify_code(n.record()), 0x0777);
    // A bulk read and a notification waiting in the driver, cancelled from a thread that did not issue them.
    karnet::io_read rd = session->read_of_size(512, false);
    EXPECT_EQ(session->read_and_wait(rd, 0).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
    notice_request waiting = notification();
    DWORD cancelled = 1;
    std::thread other([&] { cancelled = session->cancel().get_code(); });
    zephtest::join(other);
    EXPECT_EQ(cancelled, 0u);
    ASSERT_EQ(rd.request()->wait_for(deadline_ms).get_code(), 0u);
    EXPECT_EQ(rd.request()->result(false).get_code(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    ASSERT_EQ(waiting.request->wait_for(deadline_ms).get_code(), 0u);
    EXPECT_EQ(waiting.request->result(false).get_code(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // A cancelled transfer leaves the read channel refusing until its pipe word (it cannot tell a cut
    // frame from an intact one); then data and notifications flow again.
    karnet::io_read refused = session->read_of_size(512, false);
    EXPECT_EQ(session->read_and_wait(refused, deadline_ms).get_code(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    ASSERT_EQ(vendor(IOCTL_VENDOR_COMMAND, WORD_READ_PIPE_RESET, 0, {}), 0u);
    notice_request next = notification();
    ASSERT_EQ(vendor(IOCTL_VENDOR_WRITE, 0x000003, 1, words({2})), 0u);
    ASSERT_EQ(next.request->wait_for(deadline_ms).get_code(), 0u);
    EXPECT_EQ(notify_code(next.record()), simdev::event::run_started);
    for (uint32_t i = 0; i < 2; ++i) {
        karnet::io_read block = session->read_of_size(512, false);
        ASSERT_EQ(session->read_and_wait(block, deadline_ms).get_code(), 0u) << "block " << i;
        ASSERT_EQ(block.request()->bytes(), 200u);
        EXPECT_FALSE(simdev::check_pattern(simdev::seed::measurement, i * 196,
                                           std::span<const uint8_t>(block.buffer().bytes() + 4, 196)));
    }
}

TEST_P(UsbEndToEnd, ClosingTheSessionEndsItsRequestsAndFreesTheDevice) {
    plug();
    open(main_class);
    ASSERT_EQ(mode(MODE_BULK), 0u);
    notice_request n = notification();
    karnet::io_read rd = session->read_of_size(512, false);
    karnet::assync_handle reading = session->submit_read(rd);
    ASSERT_TRUE(n.request && reading);
    EXPECT_EQ(reading->wait_for(10).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
    session.reset();
    ASSERT_EQ(reading->wait_for(deadline_ms).get_code(), 0u) << "a read outlived its handle";
    EXPECT_EQ(reading->result(false).get_code(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    ASSERT_EQ(n.request->wait_for(deadline_ms).get_code(), 0u);
    EXPECT_EQ(n.request->result(false).get_code(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // Another session opens on another interface of it and finds the instrument idle again.
    open(bulk_class);
    EXPECT_EQ(vendor(IOCTL_VENDOR_COMMAND, 0x000003, 3, {}), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
        << "a new handle starts in mode 0";
    ASSERT_EQ(mode(MODE_BULK), 0u);
    std::vector<uint8_t> reply;
    ASSERT_EQ(vendor(IOCTL_VENDOR_READ, 0x000004, 1, {}, 1, &reply), 0u);
    EXPECT_EQ(get24(reply.data() + HEADER_SIZE), 0u) << "no run";
}

TEST_P(UsbEndToEnd, RequestsFromSeveralThreadsShareOneSession) {
    plug();
    open(bulk_class);
    ASSERT_EQ(mode(MODE_BULK), 0u);
    constexpr uint32_t blocks = 60;
    ASSERT_EQ(vendor(IOCTL_VENDOR_WRITE, 0x000003, 1, words({blocks})), 0u);
    std::atomic<bool> reading{true};
    std::atomic<int> vendor_failures{0}, vendor_done{0};
    // Vendor reads of the state words and writes to memory go on while the data stream runs.
    std::thread control_thread([&] {
        ASSERT_EQ(vendor(IOCTL_VENDOR_COMMAND, 0x010110, 0, {}), 0u);
        for (uint32_t i = 0; reading.load() || i < 20; ++i) {
            std::vector<uint8_t> reply;
            uint32_t offset = i % 200;
            if (vendor(IOCTL_VENDOR_WRITE, 0x010112, uint16_t(offset), words({i})) != 0 ||
                vendor(IOCTL_VENDOR_READ, 0x010111, uint16_t(offset), {}, 1, &reply) != 0 ||
                get24(reply.data() + HEADER_SIZE) != i)
                ++vendor_failures;
            ++vendor_done;
        }
    });
    std::thread writer([&] {
        for (uint32_t i = 0; i < 20; ++i) {
            karnet::io_write w = session->write_of_size(100 + i, false);
            simdev::fill_pattern(0x58000000 + i, 0, std::span<uint8_t>(w.buffer().bytes(), 100 + i));
            EXPECT_EQ(session->write_and_wait(w, deadline_ms).get_code(), 0u);
        }
    });
    uint64_t offset = 0;
    for (uint32_t i = 0; i < blocks; ++i) {
        karnet::io_read rd = session->read_of_size(512, false);
        ASSERT_EQ(session->read_and_wait(rd, deadline_ms).get_code(), 0u) << "block " << i;
        ASSERT_EQ(rd.request()->bytes(), 200u);
        EXPECT_FALSE(simdev::check_pattern(simdev::seed::measurement, offset,
                                           std::span<const uint8_t>(rd.buffer().bytes() + 4, 196)))
            << "block " << i;
        offset += 196;
    }
    reading = false;
    zephtest::join(control_thread);
    zephtest::join(writer);
    EXPECT_EQ(vendor_failures.load(), 0);
    EXPECT_GE(vendor_done.load(), 20);
    auto got = model->take_received_messages();
    ASSERT_EQ(got.size(), 20u);
    for (uint32_t i = 0; i < 20; ++i) {
        EXPECT_EQ(got[i].size(), 100u + i);
        EXPECT_FALSE(simdev::check_pattern(0x58000000 + i, 0, got[i])) << i;
    }
}

TEST_P(UsbEndToEnd, StoppingTheTransportWithASessionInFlight) {
    plug();
    open(main_class);
    ASSERT_EQ(mode(MODE_BULK), 0u);
    karnet::io_read rd = session->read_of_size(512, false);
    karnet::assync_handle reading = session->submit_read(rd);
    ASSERT_TRUE(reading);
    transport().stop();
    for (auto& c : classes) EXPECT_TRUE(listed(c).empty()) << c.name;
    // The pending read ends with the instrument's removal at the latest; the device is not held.
    unplug();
    ASSERT_EQ(reading->wait_for(deadline_ms).get_code(), 0u);
    EXPECT_NE(reading->result(false).get_code(), 0u);
    session.reset();
    EXPECT_TRUE(standin::pnp::settle());
    EXPECT_TRUE(zephtest::wait_until([] { return !standin::pnp::driver_loaded("vantrel"); }));
    // Started again, the transport finds the instrument when it comes back.
    transport().start();
    log.take();
    model->replug();
    for (auto& c : classes) EXPECT_TRUE(listed(c).empty());
    plug(model);
    open(main_class);
    ASSERT_EQ(mode(MODE_BULK), 0u);
}

TEST_P(UsbEndToEnd, RemovalDuringALargeWriteAndAVendorRequest) {
    plug();
    open(bulk_class);
    ASSERT_EQ(mode(MODE_BULK), 0u);
    // 3 MiB goes out in many chunks; the instrument leaves while it does.
    constexpr uint32_t size = 3u << 20;
    karnet::io_write w = session->write_of_size(size, false);
    simdev::fill_pattern(0x59000000, 0, std::span<uint8_t>(w.buffer().bytes(), size));
    karnet::assync_handle writing = session->submit_write(w);
    ASSERT_TRUE(writing);
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    DWORD last = 0;
    std::thread sender([&] {
        while (!stop) {
            std::vector<uint8_t> reply;
            DWORD e = vendor(IOCTL_VENDOR_READ, 0x000004, 1, {}, 5, &reply);
            if (e != 0) {
                last = e;
                return;
            }
            ++sent;
        }
    });
    ASSERT_TRUE(zephtest::wait_until([&] { return sent > 3; }));
    model->unplug();  // the instrument leaves by itself
    zephtest::join(sender);
    // In flight at the removal: removed; sent after it: refused by the removed device or its closed session.
    EXPECT_TRUE(last == ERROR_DEVICE_REMOVED || last == ERROR_ACCESS_DENIED || last == ERROR_INVALID_HANDLE) << last;
    ASSERT_EQ(writing->wait_for(deadline_ms).get_code(), 0u);
    DWORD e = writing->result(false).get_code();
    EXPECT_TRUE(e == ERROR_DEVICE_REMOVED || e == 0) << e;  // a write may have finished before the removal
    for (auto* c : published())
        EXPECT_TRUE(zephtest::wait_until([&] { return log.count(std::string("removal ") + c->name) > 0; }))
            << "no removal of " << c->name;
    EXPECT_FALSE(session->is_open());
    stop = true;
}

TEST_P(UsbEndToEnd, PlugAndUnplugWhileAnotherThreadListsAndOpens) {
    std::atomic<bool> done{false};
    std::atomic<int> opened{0};
    // A client that keeps listing the bulk class and opening what it finds, as an application polling for its
    // instrument would.
    std::thread client([&] {
        while (!done) {
            karnet::interface_list l = listed(bulk_class);
            EXPECT_LE(l.size(), 1u);
            if (l.empty()) continue;
            karnet::io_session s = manager().create_session(l.front());
            if (!s.is_open()) continue;
            ++opened;
            uint8_t bcd[2] = {};
            karnet::io_control op = s.control_on_memory(IOCTL_GET_BCD_DEVICE, bcd, 2, nullptr, 0);
            DWORD e = s.control_and_wait(op, deadline_ms).get_code();
            // A request that meets the device while its state changes is refused by the driver
            // (STATUS_UNSUCCESSFUL, 31), as one arriving before its start or during a stop is.
            EXPECT_TRUE(e == 0 || e == ERROR_DEVICE_REMOVED || e == ERROR_ACCESS_DENIED || e == ERROR_INVALID_HANDLE ||
                        e == ERROR_GEN_FAILURE)
                << e;
            if (e == 0) {
                EXPECT_EQ(get16(bcd), 0x0342);
            }
        }
    });
    std::shared_ptr<simdev::instrument> same;
    for (int round = 0; round < 8; ++round) {
        if (same) same->replug();
        plug(same);
        same = model;
        ASSERT_TRUE(zephtest::wait_until([&] { return opened.load() > round; })) << "round " << round;
        unplug();
        for (auto* c : published())
            EXPECT_TRUE(zephtest::wait_until([&] { return log.count(std::string("removal ") + c->name) > 0; }))
                << "round " << round << ": no removal of " << c->name;
        log.take();
    }
    done = true;
    zephtest::join(client);
    for (auto& c : classes) EXPECT_TRUE(listed(c).empty()) << c.name;
}

TEST_P(UsbEndToEnd, AnotherInstrumentUnderTheSameSerialIsDescribedAfresh) {
    plug();
    ASSERT_EQ(listed(main_class).size(), 1u);
    EXPECT_EQ(listed(main_class).front().description().product, "E2E Product");
    unplug();
    ASSERT_TRUE(zephtest::wait_until([&] { return log.count("removal main") > 0; }));
    log.take();
    plug(std::make_shared<simdev::instrument>(config(serial, "Successor", "Other Maker", 0x0400)));
    for (auto* c : published()) {
        karnet::interface_list l = listed(*c);
        ASSERT_EQ(l.size(), 1u) << c->name;
        const karnet::device_description d = l.front().description();
        EXPECT_EQ(d.product, "Successor") << c->name;
        EXPECT_EQ(d.manufacturer, "Other Maker") << c->name;
        EXPECT_EQ(d.bcd_device, 0x0400u) << c->name;
    }
}

TEST_P(UsbEndToEnd, TwoInstrumentsKeepTheirOwnSessionsAndOneLeaves) {
    plug();
    // A second instrument beside the first.
    auto second_model = std::make_shared<simdev::instrument>(config("E2E-8", "E2E Product", "E2E Maker", 0x0501));
    auto second_usb = std::make_shared<simdev::usb_device>(second_model);
    std::string second = standin::usbbus::plug(second_usb);
    others.push_back(second);
    ASSERT_TRUE(standin::pnp::settle());
    ASSERT_TRUE(zephtest::wait_until([&] { return log.count("arrival main") >= 2; }));
    karnet::interface_list both = listed(main_class);
    // The manager lists the last name first.
    ASSERT_EQ(names(both),
              (std::vector<std::string>{interface_path("E2E-8", main_class), interface_path(serial, main_class)}));
    session = std::make_unique<karnet::io_session>(manager().create_session(both.back()));
    ASSERT_TRUE(session->is_open());
    karnet::io_session other = manager().create_session(both.front());
    ASSERT_TRUE(other.is_open());
    EXPECT_EQ(both.front().description().bcd_device, 0x0501u);
    EXPECT_EQ(both.back().description().bcd_device, 0x0342u);
    ASSERT_EQ(mode(MODE_BULK), 0u);
    uint8_t in[SELECT_MODE_INPUT] = {MODE_BULK, 0, 0, 0};
    karnet::io_control select = other.control_on_memory(IOCTL_SELECT_MODE, nullptr, 0, in, sizeof in);
    ASSERT_EQ(other.control_and_wait(select, deadline_ms).get_code(), 0u);
    // A run on the second instrument only; its data come through its own session.
    std::vector<uint8_t> start(HEADER_SIZE);
    header_view{start.data()}.write(0x000003, 1, 1);
    auto n = words({3});
    start.insert(start.end(), n.begin(), n.end());
    karnet::io_control run =
        other.control_on_memory(IOCTL_VENDOR_WRITE, nullptr, 0, start.data(), uint32_t(start.size()));
    ASSERT_EQ(other.control_and_wait(run, deadline_ms).get_code(), 0u);
    EXPECT_EQ(second_model->state(), simdev::run_state::measuring);
    EXPECT_EQ(model->state(), simdev::run_state::idle);
    karnet::io_read first_block = other.read_of_size(512, false);
    ASSERT_EQ(other.read_and_wait(first_block, deadline_ms).get_code(), 0u);
    ASSERT_EQ(first_block.request()->bytes(), 200u);
    EXPECT_FALSE(simdev::check_pattern(simdev::seed::measurement, 0,
                                       std::span<const uint8_t>(first_block.buffer().bytes() + 4, 196)));
    // The first instrument leaves; the second's session goes on where it was.
    karnet::io_read left = session->read_of_size(512, false);
    karnet::assync_handle leaving = session->submit_read(left);
    unplug();
    ASSERT_EQ(leaving->wait_for(deadline_ms).get_code(), 0u);
    EXPECT_EQ(leaving->result(false).get_code(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    ASSERT_TRUE(zephtest::wait_until([&] { return log.count("removal main") > 0; }));
    EXPECT_EQ(names(listed(main_class)), std::vector<std::string>{interface_path("E2E-8", main_class)});
    EXPECT_FALSE(session->is_open());
    EXPECT_TRUE(other.is_open());
    for (uint32_t i = 1; i < 3; ++i) {
        karnet::io_read block = other.read_of_size(512, false);
        ASSERT_EQ(other.read_and_wait(block, deadline_ms).get_code(), 0u) << "block " << i;
        ASSERT_EQ(block.request()->bytes(), 200u);
        EXPECT_FALSE(simdev::check_pattern(simdev::seed::measurement, i * 196,
                                           std::span<const uint8_t>(block.buffer().bytes() + 4, 196)))
            << "block " << i;
    }
    standin::usbbus::unplug(second);
    EXPECT_TRUE(standin::pnp::settle());
    EXPECT_FALSE(other.is_open());
}

TEST_P(UsbEndToEnd, AbandonedRequestsEndWithTheRemovalAndLetTheDriverGo) {
    plug();
    open(bulk_class);
    ASSERT_EQ(mode(MODE_BULK), 0u);
    {
        // Timed out and dropped by their owner: the device manager's disposal keeps them until they end.
        karnet::io_read rd = session->read_of_size(4096, false);
        EXPECT_EQ(session->read_and_wait(rd, 0).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
        karnet::io_control n = session->control_of_size(IOCTL_READ_NOTIFICATION, NOTIFY_SIZE, 0);
        EXPECT_EQ(session->control_and_wait(n, 0).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    // Still working beside them: a vendor request gets through.
    std::vector<uint8_t> reply;
    ASSERT_EQ(vendor(IOCTL_VENDOR_READ, 0x000004, 1, {}, 5, &reply), 0u);
    unplug();
    ASSERT_TRUE(zephtest::wait_until([&] { return log.count("removal main") > 0; }));
    EXPECT_FALSE(session->is_open());
    session.reset();
    // The driver goes only once every request it held has ended and the handle is closed.
    EXPECT_TRUE(standin::pnp::settle());
    EXPECT_TRUE(zephtest::wait_until([] { return !standin::pnp::driver_loaded("vantrel"); }));
}

// A bulk read abandoned while another transport comes and goes (its stop stops the disposal task): the
// transport's own stop ends the read, then the libraries go in the instrument API's order, the transport
// first, and the disposal task never reaches into the unloaded transport.
TEST_P(UsbEndToEnd, AbandonedReadAndTheLibrariesReleasedInTheInstrumentApisOrder) {
    plug();
    open(bulk_class);
    ASSERT_EQ(mode(MODE_BULK), 0u);
    {
        karnet::io_read rd = session->read_of_size(4096, false);
        EXPECT_EQ(session->read_and_wait(rd, 0).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    {
        karnet::protocol_handle other;
        karnet_test::fake_protocol::make(other)->start();
        other->stop();
    }
    transport().stop();  // closes the session: the driver ends the read
    session.reset();
    manager().arrival_listeners().remove(arrival_cb);
    manager().removal_listeners().remove(removal_cb);
    transport_lib.release();
    EXPECT_FALSE(zephtest::mapped("quillon8.so")) << "the transport's library is still mapped";
    manager_lib.release();
    EXPECT_FALSE(zephtest::mapped("quillon8.so"));
    EXPECT_FALSE(zephtest::mapped("karnet8.so")) << "the device manager's library is still mapped";
}

INSTANTIATE_TEST_SUITE_P(Instruments, UsbEndToEnd,
                         ::testing::Values(variant{2, false, "BulkAndIsochrone"}, variant{1, false, "BulkOnly"},
                                           variant{2, true, "BulkAndIsochroneLateCompletion"}),
                         [](const ::testing::TestParamInfo<variant>& i) { return std::string(i.param.label); });

}  // namespace
}  // namespace usb_e2e
