// A transport with nothing but the shared table: it answers mode selections, keeps notification and
// data reads pending, and ends them all when its handle's requests are cancelled (its only cancel).
#include "plain_transport.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <vector>

#include <w32cpp/export.h>

#include <karnet/iapi.h>

#include <morvex/wire.h>

#include "fake_assync.h"

namespace {

using request_handle = w32cpp::auto_handle<karnet_test::fake_assync>;

class plain_transport : public karnet::io_protocol {
public:
    explicit plain_transport(karnet::protocol_handle* holder) : holder_(holder) {}

    karnet::interface_list enumerate(karnet::guid cls) override {
        karnet::interface_list out;
        if (cls == karnet::guid(zeph_wire::device_interface_guid_bulk))
            out.push_back(create_device_interface("plain1", cls, karnet::device_description()));
        return out;
    }
    void watch(karnet::guid) override {}
    void unwatch(karnet::guid) override {}
    karnet::protocol_handle self() override { return *holder_; }
    karnet::device_handle open(std::string) override { return reinterpret_cast<karnet::device_handle>(uintptr_t(7)); }
    void close(karnet::device_handle* handle) override { cancel(handle); }
    karnet::assync_handle read(karnet::device_handle*, karnet::io_read& op) override { return pending(op); }
    karnet::assync_handle write(karnet::device_handle*, karnet::io_write& op) override { return done(op); }
    karnet::assync_handle control(karnet::device_handle*, karnet::io_control& op) override {
        return op.code() == zeph_wire::IOCTL_READ_NOTIFICATION ? pending(op) : done(op);
    }
    w32cpp::status_win32 cancel(karnet::device_handle*) override {
        std::vector<request_handle> taken;
        {
            std::lock_guard<std::mutex> g(m_);
            taken.swap(pending_);
        }
        ++cancels;
        for (auto& r : taken) r->complete(ERROR_OPERATION_ABORTED, 0);
        return w32cpp::status_win32(0u);
    }

    size_t pending_count() {
        std::lock_guard<std::mutex> g(m_);
        return pending_.size();
    }
    std::atomic<int> cancels{0};

private:
    karnet::assync_handle pending(karnet::io_operation& op) {
        request_handle r(new karnet_test::fake_assync());
        {
            std::lock_guard<std::mutex> g(m_);
            pending_.push_back(r);
        }
        op.set_request(karnet::assync_handle(r));
        return karnet::assync_handle(r);
    }
    karnet::assync_handle done(karnet::io_operation& op) {
        request_handle r(new karnet_test::fake_assync());
        op.set_request(karnet::assync_handle(r));
        r->complete(0, 0);
        return karnet::assync_handle(r);
    }

    karnet::protocol_handle* holder_;
    std::mutex m_;
    std::vector<request_handle> pending_;
};

plain_transport* the_transport = nullptr;

}  // namespace

W32CPP_FACTORY_EXPORT void plain_transport_plug(karnet::protocol_handle* holder) {
    the_transport = new plain_transport(holder);
    holder->reset(the_transport);
    the_transport->start();
}

W32CPP_FACTORY_EXPORT void plain_transport_unplug() {
    if (the_transport) the_transport->stop();
    the_transport = nullptr;
}

W32CPP_FACTORY_EXPORT size_t plain_transport_pending() { return the_transport ? the_transport->pending_count() : 0; }

W32CPP_FACTORY_EXPORT int plain_transport_cancels() { return the_transport ? the_transport->cancels.load() : 0; }
