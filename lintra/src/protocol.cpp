#include "lintra/protocol.h"

#include <w32cpp/lock.h>

#include <cstdio>
#include <cstring>

namespace lintra {

namespace {

using section_guard = w32cpp::section_lock;

std::string name_of(const w32cpp::auto_handle<IComPort>& port) {
    std::string name;
    if (port) port->name(name);
    return name;
}

}  // namespace

io_protocol_lintra::io_protocol_lintra(karnet::protocol_handle* holder) : holder_(holder) {
    InitializeCriticalSection(&lock_);
}

io_protocol_lintra::~io_protocol_lintra() {
    std::vector<device_ref> left;
    {
        section_guard guard(&lock_);
        left.swap(devices_);
    }
    // Nobody lists this protocol any more: no notices, only the lines let go.
    for (device_ref& d : left) d->shutdown();
    left.clear();
    DeleteCriticalSection(&lock_);
}

std::string io_protocol_lintra::device_name(const std::string& port_name, BYTE address) {
    char digits[8];
    if (address < 0x10)
        std::snprintf(digits, sizeof digits, "%x", unsigned(address));
    else
        std::snprintf(digits, sizeof digits, "#%x", unsigned(address));
    return "ZEPHSerial\\" + port_name + digits;
}

karnet::protocol_handle io_protocol_lintra::self() { return holder_ ? *holder_ : karnet::protocol_handle(); }

karnet::interface_list io_protocol_lintra::enumerate(karnet::guid interface_class) {
    karnet::interface_list out;
    if (!interface_class.is_set()) return out;
    section_guard guard(&lock_);
    for (device_ref& d : devices_)
        for (auto& i : d->published(interface_class)) out.push_back(i);
    return out;
}

void io_protocol_lintra::watch(karnet::guid interface_class) {
    if (!interface_class.is_set()) return;
    section_guard guard(&lock_);
    for (const GUID& g : watched_)
        if (std::memcmp(&g, interface_class.get(), sizeof g) == 0) return;
    watched_.push_back(*interface_class.get());
}

void io_protocol_lintra::unwatch(karnet::guid interface_class) {
    if (!interface_class.is_set()) return;
    std::vector<device_ref> dropped;
    {
        section_guard guard(&lock_);
        for (auto it = watched_.begin(); it != watched_.end(); ++it)
            if (std::memcmp(&*it, interface_class.get(), sizeof(GUID)) == 0) {
                watched_.erase(it);
                break;
            }
        // A device whose last published interface goes here is dropped; one still bringing up stays.
        for (auto it = devices_.begin(); it != devices_.end();) {
            if ((*it)->unpublish_silently(interface_class)) {
                dropped.push_back(*it);
                it = devices_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (device_ref& d : dropped) d->shutdown();
}

karnet::device_handle io_protocol_lintra::open(std::string name) {
    section_guard guard(&lock_);
    for (device_ref& d : devices_)
        if (d->owns_interface(name)) return reinterpret_cast<karnet::device_handle>(d->id());
    return nullptr;
}

void io_protocol_lintra::close(karnet::device_handle*) {}

io_protocol_lintra::device_ref io_protocol_lintra::find(karnet::device_handle handle) {
    const ULONG_PTR id = reinterpret_cast<ULONG_PTR>(handle);
    section_guard guard(&lock_);
    for (device_ref& d : devices_)
        if (d->id() == id) return d;
    return device_ref();
}

io_protocol_lintra::device_ref io_protocol_lintra::first() {
    section_guard guard(&lock_);
    return devices_.empty() ? device_ref() : devices_.front();
}

size_t io_protocol_lintra::device_count() {
    section_guard guard(&lock_);
    return devices_.size();
}

karnet::assync_handle io_protocol_lintra::start_request(karnet::device_handle* handle, karnet::io_operation& op,
                                                        const packet_handle& packet, request_route route) {
    karnet::assync_handle request(packet);
    op.set_request(request);
    device_ref device = handle ? find(*handle) : device_ref();
    if (!device) {
        packet->complete(ERROR_DEVICE_REMOVED);
        return request;
    }
    switch (route) {
    case request_route::read: device->submit_read(packet); break;
    case request_route::write: device->submit_write(packet); break;
    case request_route::control: device->submit(packet); break;
    }
    return request;
}

karnet::assync_handle io_protocol_lintra::read(karnet::device_handle* handle, karnet::io_read& op) {
    return start_request(handle, op, packet_handle(new TransferPacket(0, op.buffer(), ostrel::mem_block())),
                         request_route::read);
}

karnet::assync_handle io_protocol_lintra::write(karnet::device_handle* handle, karnet::io_write& op) {
    return start_request(handle, op, packet_handle(new TransferPacket(0, op.buffer(), ostrel::mem_block())),
                         request_route::write);
}

karnet::assync_handle io_protocol_lintra::control(karnet::device_handle* handle, karnet::io_control& op) {
    return start_request(handle, op, packet_handle(new TransferPacket(op.code(), op.output(), op.input())),
                         request_route::control);
}

w32cpp::status_win32 io_protocol_lintra::cancel(karnet::device_handle* handle) {
    device_ref device = handle ? find(*handle) : device_ref();
    if (!device) return w32cpp::status_win32(DWORD(ERROR_INVALID_HANDLE));
    device->cancel();
    return w32cpp::status_win32(0u);
}

bool io_protocol_lintra::register_line(const port_handle& port, BYTE address) {
    if (address == 0 || !port) return false;
    const std::string line = name_of(port);
    device_ref device;
    {
        section_guard guard(&lock_);
        for (device_ref& d : devices_) {
            if (name_of(d->emulation()->port()) != line) continue;
            if (d->address() == address) return true;  // already served
            // One address per line: a second would rebuild the line's endpoints under the first.
            return false;
        }
    }
    w32cpp::auto_handle<RsUSBEmulation> emulation(new RsUSBEmulation(port));
    if (!port->open()) return false;
    device.reset(new ZephProtocolDevice(this, emulation, address, device_name(line, address)));
    bool taken = false, served = false, same_port = false;
    {
        section_guard guard(&lock_);
        for (device_ref& d : devices_)
            if (name_of(d->emulation()->port()) == line) {
                taken = true;
                served = d->address() == address;
                same_port = d->emulation()->port().get() == port.get();
                break;
            }
        if (!taken) devices_.push_back(device);
    }
    if (taken) {
        // Another registration of this line won meanwhile: the port opened here is not used and is
        // closed again (unless it is the very object the winner serves).
        if (!same_port) port->close();
        return served;
    }
    if (device->start()) return true;
    retire(device);
    return false;
}

void io_protocol_lintra::retire(const device_ref& device) {
    {
        section_guard guard(&lock_);
        for (auto it = devices_.begin(); it != devices_.end(); ++it)
            if (*it == device) {
                devices_.erase(it);
                break;
            }
    }
    // Out of the registry first, so the removal notices find the interfaces gone.
    device->shutdown();
    device->unpublish();
}

void io_protocol_lintra::unregister_line(const port_handle& port, BYTE address) {
    const std::string line = name_of(port);
    std::vector<device_ref> matching;
    {
        section_guard guard(&lock_);
        for (device_ref& d : devices_)
            if (d->address() == address && name_of(d->emulation()->port()) == line) matching.push_back(d);
    }
    for (device_ref& d : matching) retire(d);
}

void io_protocol_lintra::remove_all() {
    std::vector<device_ref> all;
    {
        section_guard guard(&lock_);
        all = devices_;
    }
    for (device_ref& d : all) retire(d);
}

bool io_protocol_lintra::flush_first() {
    device_ref device = first();
    return device && device->emulation()->flush();
}

bool io_protocol_lintra::stop_first() {
    device_ref device = first();
    if (!device) return false;
    RsUSBEmulation* e = device->emulation();
    e->raise_abort();
    std::shared_ptr<EPInterrupt> interrupt = e->interrupt_ref();
    e->abort_and_wait_idle(interrupt.get(), 10000);
    SleepEx(5000, TRUE);
    e->cancel_timer();
    e->lower_abort();
    return true;
}

}  // namespace lintra
