// The serial transport library's entry points: the factory of its api object and the module entry.
#include <windows.h>

#include <w32cpp/export.h>
#include <w32cpp/handle.h>
#include <w32cpp/loader.h>
#include <w32cpp/lock.h>
#include <w32cpp/trace.h>

#include "lintra/iapi.h"
#include "lintra/protocol.h"

namespace lintra {

namespace {

w32cpp::DBGTrace trace("lintra");
// The protocol singleton: made by the first registration, released by serial_disable.
karnet::protocol_handle protocol_holder;

class api_imp : public iapi {
public:
    api_imp() {
        InitializeCriticalSection(&holder_lock_);
        InitializeCriticalSection(&change_lock_);
    }
    ~api_imp() override {
        // Normally nothing is left here: the lines stopped when the last client let go (below). This
        // runs at library unload, under the loader lock on Windows, where waiting for a line's
        // threads (which take that lock to end) could deadlock. No client is left to register and no
        // stop for one runs (it would keep this object), so change_lock_ is not taken: under the
        // loader lock it would reverse the order of a stop, whose protocol's end frees the device
        // manager's library.
        take_down();
        trace << "api destruction\n";
        DeleteCriticalSection(&change_lock_);
        DeleteCriticalSection(&holder_lock_);
    }

    // A release has left the library's holder the only use: the lines stop now, on that client's
    // thread, unless a client has come since (it holds a use of its own): they stay until it goes.
    void last_client_gone(const w32cpp::use_count_base& count) {
        w32cpp::section_lock changing(change_lock_);
        if (count.use_count() > 1) return;
        take_down();
    }

    bool register_port(const port_handle& port, BYTE address) override {
        if (address == 0 || !port) return false;
        wait_for_disable();
        karnet::protocol_handle keep = current();
        if (!keep) {
            // Made outside the lock (it loads the device manager, under the loader's lock); of two
            // first registrations at once, one protocol is kept and started.
            karnet::protocol_handle made(new io_protocol_lintra(&protocol_holder));
            bool installed = false;
            {
                w32cpp::section_lock hold(holder_lock_);
                if (!protocol_holder) {
                    protocol_holder = made;
                    installed = true;
                }
                keep = protocol_holder;
            }
            if (installed) keep->start();
        }
        return static_cast<io_protocol_lintra*>(keep.get())->register_line(port, address);
    }

    void unregister_port(const port_handle& port, BYTE address) override {
        trace << "UNREGISTER DEVICE";
        wait_for_disable();
        karnet::protocol_handle keep = current();
        if (!keep || !port) return;
        static_cast<io_protocol_lintra*>(keep.get())->unregister_line(port, address);
    }

    bool flush_port() override {
        karnet::protocol_handle keep = current();
        return keep && static_cast<io_protocol_lintra*>(keep.get())->flush_first();
    }

    bool stop_port() override {
        karnet::protocol_handle keep = current();
        return keep && static_cast<io_protocol_lintra*>(keep.get())->stop_first();
    }

    void serial_disable() override { disable(); }

    void protocol(karnet::protocol_handle& out) override { out = current(); }

private:
    karnet::protocol_handle current() {
        w32cpp::section_lock hold(holder_lock_);
        return protocol_holder;
    }

    // A client that comes while the lines of the last one stop waits for them to be down: it then
    // makes a protocol of its own, and nothing of its own meets that stop.
    void wait_for_disable() { w32cpp::section_lock pass(change_lock_); }

    void disable() {
        w32cpp::section_lock changing(change_lock_);
        take_down();
    }

    // Stops the lines and the protocol and lets go of it (its end may free the device manager's
    // library, so a new client's protocol is made only after it: the loader does not lock).
    void take_down() {
        karnet::protocol_handle keep = current();
        if (!keep) return;
        trace << "SERIAL DISABLE";
        // The lines are let go (with removal notices) while the manager still lists the protocol.
        static_cast<io_protocol_lintra*>(keep.get())->remove_all();
        keep->stop();
        w32cpp::section_lock hold(holder_lock_);
        if (protocol_holder == keep) protocol_holder.reset();
    }

    CRITICAL_SECTION holder_lock_;
    CRITICAL_SECTION change_lock_;  // held while the lines stop
};

// The counter of the library's own holder: when a release leaves it the only use, the last client
// has let go.
class instance_count : public w32cpp::use_count_base_impl<api_imp*> {
public:
    explicit instance_count(api_imp* api) : use_count_base_impl(api), api_(api) { tells_sole_use_ = true; }

protected:
    void sole_use_left() override { api_->last_client_gone(*this); }

private:
    api_imp* api_;
};

w32cpp::auto_handle<iapi> instance;

}  // namespace

}  // namespace lintra

W32CPP_FACTORY_EXPORT w32cpp::auto_handle<lintra::iapi>* lintra_get_instance() {
    if (!lintra::instance) {
        lintra::api_imp* api = new lintra::api_imp();
        lintra::instance = w32cpp::auto_handle<lintra::iapi>::adopt(api, new lintra::instance_count(api));
    }
    return &lintra::instance;
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
    return TRUE;
}
