// The API object: the singleton, the device classes, observers and the API's lifetime, the bare
// library name clients load.
#include <gtest/gtest.h>

#include <thread>

#include "fixture.h"
#include "zephtest/wait.h"

namespace morvex_test {
namespace {

using factory = w32cpp::auto_handle<morvex::iapi>* (*)();

factory factory_of(HMODULE m) {
    return reinterpret_cast<factory>(reinterpret_cast<void*>(GetProcAddress(m, "morvex_get_instance")));
}

TEST_F(InstrumentTest, OneHolderForEveryCall) {
    HMODULE m = GetModuleHandleA(MORVEX_TEST_LIBRARY);
    ASSERT_NE(m, nullptr);
    factory f = factory_of(m);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f(), f());
    EXPECT_EQ(f()->get(), api.get());
}

TEST_F(InstrumentTest, DeviceClassesSeeTheirOwnClassOnly) {
    morvex::io_device_interface_class& bulk = api->bulk_interface_class();
    morvex::io_device_interface_class& main = api->control_interface_class();
    EXPECT_TRUE(karnet::guid(bulk.interface_class()) == karnet::guid(zeph_wire::device_interface_guid_bulk));
    EXPECT_TRUE(karnet::guid(api->iso_interface_class().interface_class()) ==
                karnet::guid(zeph_wire::device_interface_guid_iso));
    device->plug("inst2", zeph_wire::device_interface_guid_bulk);
    // Notices come from a transport's own thread or from the caller's: either sets the events.
    std::thread notifier([&] { device->notify_arrival(karnet::guid(zeph_wire::device_interface_guid_bulk)); });
    EXPECT_EQ(bulk.arrived().wait(10000, FALSE).get_code(), 0u);
    zephtest::join(notifier);
    EXPECT_EQ(bulk.changed().wait(10000, FALSE).get_code(), 0u);
    device->remove("inst2");
    EXPECT_EQ(bulk.removed().wait(10000, FALSE).get_code(), 0u);
    EXPECT_EQ(bulk.changed().wait(10000, FALSE).get_code(), 0u);
    EXPECT_EQ(main.arrived().wait(0, FALSE).get_code(), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(main.removed().wait(0, FALSE).get_code(), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(main.changed().wait(0, FALSE).get_code(), DWORD(WAIT_TIMEOUT));
}

TEST_F(InstrumentTest, AllocateForwardsToTheDeviceManager) {
    ostrel::mem_block b = api->allocate(100, true);
    ASSERT_FALSE(b.empty());
    EXPECT_EQ(b.size(), 100u);
    EXPECT_EQ(b.bytes()[99], 0);
}

// The USB transport's own face passes through: start makes its protocol, stop drops it.
TEST_F(InstrumentTest, UsbTransportPassesThrough) {
    if (GetModuleHandleA("quillon8") == nullptr) GTEST_SKIP() << "quillon8 not built";
    fileio::iapi& usb = *api.get();
    usb.start();
    karnet::protocol_handle p = usb.protocol();
    EXPECT_TRUE(p);
    p.reset();
    usb.stop();
    EXPECT_FALSE(usb.protocol());
}

// Siblings that are not there: the forwarding faces answer failure instead of calling nothing.
TEST_F(InstrumentTest, MissingTransportsAnswerFailure) {
    if (GetModuleHandleA("lintra8") == nullptr) {
        EXPECT_FALSE(api->register_port(lintra::port_handle(), 1));
        EXPECT_FALSE(api->flush_port());
        EXPECT_FALSE(api->stop_port());
        karnet::protocol_handle p;
        static_cast<lintra::iapi&>(*api.get()).protocol(p);
        EXPECT_FALSE(p);
    }
    if (GetModuleHandleA("quillon8") == nullptr) {
        api->start();
        EXPECT_FALSE(static_cast<fileio::iapi&>(*api.get()).protocol());
        api->stop();
    }
}

TEST_F(InstrumentTest, TwoClientsInOneProcess) {
    api_lib second;
    ASSERT_EQ(second.get(), api.get());
    device->plug("inst2", zeph_wire::device_interface_guid_bulk);
    device->notify_arrival(karnet::guid(zeph_wire::device_interface_guid_bulk));
    karnet::interface_list list =
        second->device_manager()->device_interfaces(karnet::guid(zeph_wire::device_interface_guid_bulk));
    ASSERT_EQ(list.size(), 2u);
    morvex::zeph_session a = second->open_session(second->device_manager()->create_session(list.front()));
    morvex::zeph_session b = second->open_session(second->device_manager()->create_session(list.back()));
    ASSERT_TRUE(a.is_open() && b.is_open());
    std::vector<std::thread> clients;
    std::atomic<int> failures{0};
    for (morvex::zeph_session* s : {&a, &b, &session})
        clients.emplace_back([s, &failures] {
            for (int i = 0; i < 50; ++i) {
                morvex::zeph_get_param g = s->make_get_param(0x060000, 0, 4);
                if (s->control_and_wait(g, zephtest::deadline_ms).get_code() != 0 || s->bcd_device() != 0x0123)
                    ++failures;
            }
        });
    for (auto& t : clients) zephtest::join(t);
    EXPECT_EQ(failures.load(), 0);
    a.on_device_removed();
    b.on_device_removed();
}

struct null_client : morvex::zeph_notification_client {
    void event(uint16_t, const morvex::event_data&, morvex::zeph_session&, uint32_t) override {}
    void error(DWORD, morvex::zeph_session&, uint32_t) override {}
    void stopped(morvex::zeph_session&, uint32_t) override {}
};

// A registered observer does not keep the API alive: the last client's release destroys it (and
// its observers), not the end of the process.
TEST(ApiLifetime, ObserversDoNotKeepTheApiAlive) {
    HMODULE keep = LoadLibraryA(MORVEX_TEST_LIBRARY);
    ASSERT_NE(keep, nullptr);
    w32cpp::auto_handle<morvex::iapi>* holder = nullptr;
    karnet::protocol_handle device_holder;
    null_client client;
    {
        api_lib api;
        ASSERT_TRUE(api);
        holder = factory_of(keep)();
        fake_instrument* device = plug_instrument(device_holder);
        {
            morvex::zeph_session s = open_first(*api.get());
            ASSERT_EQ(s.set_mode(1, 0, 0).get_code(), 0u);
            api->register_observer(s, &client, 0, true, 1);
            ASSERT_TRUE(zephtest::wait_until([&] { return device->notification_reads() == 3; }));
        }
        EXPECT_TRUE(static_cast<bool>(*holder));
        api.release();
        EXPECT_FALSE(static_cast<bool>(*holder));
        // The observer's scheduler went with the API and took its reads back.
        EXPECT_EQ(device->notification_reads(), 0u);
        device->stop();
    }
    FreeLibrary(keep);
}

// The first calls may come from several threads at once: one API object for all.
TEST(ApiLifetime, ConcurrentFirstCallsMakeOneObject) {
    HMODULE keep = LoadLibraryA(MORVEX_TEST_LIBRARY);
    ASSERT_NE(keep, nullptr);
    factory f = factory_of(keep);
    ASSERT_EQ(f()->get() != nullptr, true);
    f()->reset_by_owner();  // back to no object, as after the last release
    std::vector<std::thread> threads;
    std::vector<morvex::iapi*> seen(8, nullptr);
    std::atomic<bool> go{false};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            EXPECT_TRUE(zephtest::wait_until([&] { return go.load(); }, zephtest::default_deadline,
                                             std::chrono::milliseconds(0)));
            seen[i] = f()->get();
        });
    go = true;
    for (auto& t : threads) zephtest::join(t);
    for (morvex::iapi* p : seen) EXPECT_EQ(p, seen[0]);
    f()->reset_by_owner();
    FreeLibrary(keep);
}

// Clients load the API by its bare name: that is the current build, bound to the current siblings.
TEST(BareName, MorvexIsTheCurrentBuild) {
    struct bare_lib : w32cpp::dynamic_link_instance<morvex::iapi> {
        bare_lib() : w32cpp::dynamic_link_instance<morvex::iapi>("morvex", "morvex_get_instance") {}
    } bare;
    ASSERT_TRUE(bare);
    karnet::karnet_lib current;
    ASSERT_TRUE(current);
    EXPECT_EQ(bare->device_manager().get(), current.get());
    EXPECT_NE(GetModuleHandleA("morvex"), nullptr);
    EXPECT_EQ(GetModuleHandleA("karnet71"), nullptr);
    karnet::protocol_handle holder;
    fake_instrument* device = plug_instrument(holder);
    {
        morvex::zeph_session s = open_first(*bare.get());
        EXPECT_EQ(s.set_mode(1, 0, 0).get_code(), 0u);
        EXPECT_EQ(s.product(), "Zeph 8");
    }
    device->stop();
}

}  // namespace
}  // namespace morvex_test
