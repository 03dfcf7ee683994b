#include "lintra/protocol_device.h"

#include <w32cpp/lock.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <morvex/wire.h>

#include "lintra/protocol.h"

namespace lintra {

namespace {

using section_guard = w32cpp::section_lock;
namespace wire = zeph_wire;

constexpr DWORD status_pending = ERROR_IO_PENDING;
// A string descriptor is at most 255 bytes long (its length is one byte).
constexpr DWORD string_descriptor_max = 255;
// Bytes taken off the line at a time when an oversized frame is drained.
constexpr DWORD drain_chunk = 4096;
constexpr WORD language_english = 0x0409;

bool is_pipe_reset_word(DWORD word) {
    return word == wire::WORD_READ_PIPE_RESET || word == wire::WORD_WRITE_PIPE_RESET;
}

ULONG_PTR next_device_id() {
    static std::atomic<ULONG_PTR> counter{0x1000};
    return counter.fetch_add(4) + 4;
}

}  // namespace

DWORD status_of(DWORD result, request_kind kind) {
    if (result_succeeded(result)) return ERROR_SUCCESS;
    switch (result) {
    case result_bad_packet:
    case result_bad_pid:
    case result_stall: return kind == request_kind::notification ? DWORD(ERROR_GEN_FAILURE) : status_bad_packet;
    case result_port_error: return ERROR_SEM_TIMEOUT;
    case result_err: return ERROR_CRC;
    case result_aborted: return ERROR_OPERATION_ABORTED;
    default: return ERROR_GEN_FAILURE;  // never a failure read as success
    }
}

// ---------------------------------------------------------------------------------------------
// TransferPacket

TransferPacket::TransferPacket(DWORD code, const ostrel::mem_block& output, const ostrel::mem_block& input)
    : status_(status_pending), bytes_(0), event_(FALSE), code_(code), output_(output), input_(input) {
    InitializeCriticalSection(&lock_);
}

TransferPacket::~TransferPacket() { DeleteCriticalSection(&lock_); }

w32cpp::status_wait TransferPacket::wait(DWORD milliseconds, BOOL alertable) {
    return event_.wait(milliseconds, alertable);
}

w32cpp::status_wait TransferPacket::poll() { return event_.wait(0, FALSE); }

w32cpp::status_wait TransferPacket::wait_for(DWORD milliseconds) { return event_.wait_for(milliseconds); }

bool TransferPacket::is_valid() { return event_.is_valid(); }

w32cpp::status_wait TransferPacket::result(bool wait) {
    if (wait) event_.wait(INFINITE, FALSE);
    return w32cpp::status_wait(status_.load());
}

bool TransferPacket::done() { return status_.load() != status_pending; }

uint32_t TransferPacket::bytes() { return bytes_.load(); }

bool TransferPacket::complete(DWORD status) {
    {
        section_guard guard(&lock_);
        if (state_ & state_completed) return false;
        state_ |= state_completed;
        if (status == ERROR_OPERATION_ABORTED) state_ |= state_cancelled;
        status_.store(status);
    }
    event_.set();
    return true;
}

bool TransferPacket::completed() {
    section_guard guard(&lock_);
    return (state_ & state_completed) != 0;
}

bool TransferPacket::cancelled() {
    section_guard guard(&lock_);
    return (state_ & state_cancelled) != 0;
}

// ---------------------------------------------------------------------------------------------
// ZephProtocolFilter

ZephProtocolFilter::ZephProtocolFilter(ZephProtocolDevice* device) : device_(device) {
    InitializeCriticalSection(&queue_lock_);
    InitializeCriticalSection(&transfer_lock_);
}

ZephProtocolFilter::~ZephProtocolFilter() {
    abort_all();
    DeleteCriticalSection(&transfer_lock_);
    DeleteCriticalSection(&queue_lock_);
}

DWORD ZephProtocolFilter::execute(const packet_handle&) { return ERROR_GEN_FAILURE; }

DWORD ZephProtocolFilter::submit(const packet_handle& packet) {
    {
        section_guard guard(&queue_lock_);
        if (current_) {
            queue_.push_back(packet);
            return status_pending;
        }
        current_ = packet;
    }
    run(packet);
    return status_pending;
}

void ZephProtocolFilter::run(packet_handle packet) {
    // Packets that finish at once start the next without recursion.
    while (packet) {
        const DWORD status = execute(packet);
        if (status == status_pending) return;
        packet_handle next;
        // Cancelled meanwhile: the canceller started the next.
        if (!advance(packet, &next)) return;
        if (packet->complete(status)) notify(*packet);
        packet = next;
    }
}

void ZephProtocolFilter::complete_and_next(const packet_handle& packet, DWORD status) {
    packet_handle next;
    advance(packet, &next);
    if (packet->complete(status)) notify(*packet);
    if (next) run(next);
}

bool ZephProtocolFilter::advance(const packet_handle& packet, packet_handle* next) {
    section_guard guard(&queue_lock_);
    if (!(current_ == packet)) return false;
    current_.reset();
    if (!queue_.empty()) {
        current_ = queue_.front();
        queue_.pop_front();
        *next = current_;
    }
    return true;
}

bool ZephProtocolFilter::detach(const packet_handle& packet) {
    section_guard guard(&queue_lock_);
    if (!(current_ == packet)) return false;
    current_.reset();
    return true;
}

bool ZephProtocolFilter::is_current(const packet_handle& packet) {
    section_guard guard(&queue_lock_);
    return current_ == packet;
}

bool ZephProtocolFilter::drop_transfer(const packet_handle& packet) {
    std::shared_ptr<EndPointInOutTransfer> ep;
    ULONGLONG first, last;
    {
        section_guard guard(&transfer_lock_);
        if (!active_ || !(active_ == packet)) return false;
        cancelling_ = true;
        ep = active_ep_;
        first = first_;
        last = last_;
    }
    // Only this handler queues on the endpoint, so the other records there are not touched. The
    // transfer is called back now, or by the worker once the packet it runs has landed in the
    // caller's buffer.
    ep->cancel_transfer(first, last);
    return true;
}

void ZephProtocolFilter::cancel_current() {
    for (;;) {
        packet_handle packet;
        {
            section_guard guard(&queue_lock_);
            packet = current_;
        }
        if (!packet) return;
        if (drop_transfer(packet)) return;
        packet_handle next;
        {
            // Between two stages: under the transfer lock no next stage is queued for it meanwhile.
            section_guard guard(&transfer_lock_);
            if (active_ == packet) continue;  // one just was: drop that
            if (!advance(packet, &next)) return;
        }
        if (packet->complete(ERROR_OPERATION_ABORTED)) notify(*packet);
        if (next) run(next);
        return;
    }
}

void ZephProtocolFilter::abort_all() {
    std::deque<packet_handle> taken;
    {
        section_guard guard(&queue_lock_);
        taken.swap(queue_);
    }
    for (packet_handle& p : taken)
        if (p->complete(ERROR_OPERATION_ABORTED)) notify(*p);
    cancel_current();
}

bool ZephProtocolFilter::queue_data(const std::shared_ptr<EndPointInOutTransfer>& ep, const packet_handle& packet,
                                    BYTE kind, BYTE* buffer, DWORD length, bool short_ok) {
    if (!ep || length == 0) return false;
    // Held across the queue call: the worker's call back waits here until the transfer is known.
    section_guard guard(&transfer_lock_);
    // A packet cancelled between two of its stages queues nothing more.
    if (!is_current(packet)) return false;
    ep->set_callback(&ZephProtocolFilter::on_transfer);
    const ULONGLONG n = ep->queue(kind, buffer, length, this, short_ok, true);
    if (n == ~0ull || n == 0) return false;
    active_ = packet;
    active_ep_ = ep;
    first_ = last_ = n;
    cancelling_ = false;
    return true;
}

bool ZephProtocolFilter::queue_control(const std::shared_ptr<EPControl>& ep, const packet_handle& packet,
                                       const SetupRecord& setup, BYTE* data, bool short_ok) {
    if (!ep) return false;
    section_guard guard(&transfer_lock_);
    if (!is_current(packet)) return false;
    ep->set_callback(&ZephProtocolFilter::on_transfer);
    ULONGLONG n = 0;
    if (!ep->queue_request(setup, data, this, short_ok, &n) || n == 0) return false;
    active_ = packet;
    active_ep_ = ep;
    first_ = n;
    last_ = setup.wLength ? n + 1 : n;
    cancelling_ = false;
    return true;
}

void ZephProtocolFilter::on_transfer(void* context, DWORD low, DWORD high, DWORD total, DWORD status) {
    ZephProtocolFilter* self = static_cast<ZephProtocolFilter*>(context);
    const ULONGLONG number = ULONGLONG(low) | (ULONGLONG(high) << 32);
    packet_handle packet;
    bool cancelled;
    {
        section_guard guard(&self->transfer_lock_);
        if (!self->active_ || number < self->first_ || number > self->last_) return;  // stale
        packet = self->active_;
        cancelled = self->cancelling_;
        self->active_.reset();
        self->active_ep_.reset();
        self->first_ = self->last_ = 0;
        self->cancelling_ = false;
    }
    if (cancelled) {
        self->complete_and_next(packet, ERROR_OPERATION_ABORTED);
        return;
    }
    // A packet already completed as cancelled keeps its 995.
    if (packet->completed()) return;
    self->transferred(packet, total, status);
}

void ZephProtocolFilter::transferred(const packet_handle& packet, DWORD total, DWORD status) {
    packet->set_bytes(total);
    complete_and_next(packet, status_of(status, request_kind::data));
}

// ---------------------------------------------------------------------------------------------
// Notifications

DWORD ZephProtocolInfo::execute(const packet_handle& packet) {
    if (!device_->configured()) return ERROR_GEN_FAILURE;
    const ostrel::mem_block& out = packet->output();
    if (out.empty() || out.size() != wire::NOTIFY_SIZE) return ERROR_INVALID_PARAMETER;
    packet->set_bytes(0);
    if (!queue_data(device_->emulation()->interrupt_ref(), packet, kind_in, out.bytes(), out.size(), true))
        return ERROR_GEN_FAILURE;
    return status_pending;
}

void ZephProtocolInfo::transferred(const packet_handle& packet, DWORD total, DWORD status) {
    const DWORD result = status_of(status, request_kind::notification);
    packet->set_bytes(total);
    if (result == ERROR_SEM_TIMEOUT && device_->is_up()) {
        // The instrument stopped answering: this packet reports it, everything else is aborted.
        if (detach(packet)) {
            device_->recover();
            if (packet->complete(result)) notify(*packet);
            return;
        }
    }
    complete_and_next(packet, result);
}

// ---------------------------------------------------------------------------------------------
// Bulk reads: a 3-byte length, then the data

namespace {
enum { stage_header = 0, stage_data = 1, stage_drain = 2 };
}

DWORD ZephProtocolRead::execute(const packet_handle& packet) {
    if (!device_->configured()) return ERROR_GEN_FAILURE;
    packet->stage = stage_header;
    packet->set_bytes(0);
    if (!queue_data(device_->emulation()->bulk_in_ref(), packet, kind_in, packet->scratch, wire::FRAME_HEADER, false))
        return ERROR_GEN_FAILURE;
    return status_pending;
}

void ZephProtocolRead::drain_next(const packet_handle& packet) {
    const DWORD n = std::min(packet->drain_left, drain_chunk);
    if (packet->drain.size() < n) packet->drain.resize(n);
    if (!queue_data(device_->emulation()->bulk_in_ref(), packet, kind_in, packet->drain.data(), n, true))
        complete_and_next(packet, ERROR_GEN_FAILURE);
}

void ZephProtocolRead::transferred(const packet_handle& packet, DWORD total, DWORD status) {
    const DWORD result = status_of(status, request_kind::data);
    if (result != ERROR_SUCCESS) {
        if (packet->stage == stage_data) packet->set_bytes(total);
        complete_and_next(packet, result);
        return;
    }
    switch (packet->stage) {
    case stage_header: {
        if (total != wire::FRAME_HEADER) {
            complete_and_next(packet, status_bad_packet);
            return;
        }
        const DWORD n = wire::get24(packet->scratch);
        packet->announced = n;
        const ostrel::mem_block& block = packet->output();
        if (n == 0) {
            complete_and_next(packet, ERROR_SUCCESS);
            return;
        }
        if (!block.empty() && block.size() >= n) {
            packet->stage = stage_data;
            if (!queue_data(device_->emulation()->bulk_in_ref(), packet, kind_in, block.bytes(), n, true))
                complete_and_next(packet, ERROR_GEN_FAILURE);
            return;
        }
        // Too long for the caller: the frame is taken off the line so that the next read starts
        // on a frame boundary.
        packet->stage = stage_drain;
        packet->drain_left = n;
        drain_next(packet);
        return;
    }
    case stage_data:
        packet->set_bytes(total);
        complete_and_next(packet, ERROR_SUCCESS);
        return;
    case stage_drain: {
        // A short packet ends the frame, whatever its header announced: reading on would take the
        // start of the next frame.
        const DWORD asked = std::min(packet->drain_left, drain_chunk);
        packet->drain_left -= std::min(packet->drain_left, total);
        if (packet->drain_left != 0 && total == asked) {
            drain_next(packet);
            return;
        }
        complete_and_next(packet, status_reply_too_long);
        return;
    }
    default: complete_and_next(packet, ERROR_GEN_FAILURE);
    }
}

// ---------------------------------------------------------------------------------------------
// Bulk writes

DWORD ZephProtocolWrite::execute(const packet_handle& packet) {
    if (!device_->configured()) return ERROR_GEN_FAILURE;
    const ostrel::mem_block& block = packet->output();
    const DWORD size = block.empty() ? 0 : block.size();
    // The length header carries 24 bits: a bigger block cannot be framed.
    if (size > wire::FRAME_MAX) return ERROR_INVALID_PARAMETER;
    packet->announced = size;
    packet->stage = stage_header;
    packet->set_bytes(0);
    wire::put24(packet->scratch, size);
    if (!queue_data(device_->emulation()->bulk_out_ref(), packet, kind_out, packet->scratch, wire::FRAME_HEADER, false))
        return ERROR_GEN_FAILURE;
    return status_pending;
}

void ZephProtocolWrite::transferred(const packet_handle& packet, DWORD total, DWORD status) {
    const DWORD result = status_of(status, request_kind::data);
    if (result != ERROR_SUCCESS) {
        if (packet->stage == stage_data) packet->set_bytes(total);
        complete_and_next(packet, result);
        return;
    }
    if (packet->stage == stage_header) {
        if (packet->announced == 0) {
            complete_and_next(packet, ERROR_SUCCESS);
            return;
        }
        packet->stage = stage_data;
        if (!queue_data(device_->emulation()->bulk_out_ref(), packet, kind_out, packet->output().bytes(),
                        packet->announced, true))
            complete_and_next(packet, ERROR_GEN_FAILURE);
        return;
    }
    packet->set_bytes(total);
    complete_and_next(packet, total == packet->announced ? ERROR_SUCCESS : DWORD(status_bad_packet));
}

// ---------------------------------------------------------------------------------------------
// ZephProtocolDevice

namespace {
enum {
    stage_mode = 0,  // SET_CONFIGURATION sent; then one stage per cleared halt
    stage_string_length = 10,
    stage_string = 11,
    stage_vendor = 12,
};
}

ZephProtocolDevice::ZephProtocolDevice(io_protocol_lintra* protocol,
                                       const w32cpp::auto_handle<RsUSBEmulation>& emulation, BYTE address,
                                       std::string name)
    : ZephProtocolFilter(this),
      protocol_(protocol),
      address_(address),
      emulation_(emulation),
      name_(std::move(name)),
      id_(next_device_id()),
      description_("", "", "", name_),
      info_(this),
      read_(this),
      write_(this),
      work_event_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    InitializeCriticalSection(&published_lock_);
    InitializeCriticalSection(&jobs_lock_);
}

ZephProtocolDevice::~ZephProtocolDevice() {
    shutdown();
    if (work_event_) CloseHandle(work_event_);
    DeleteCriticalSection(&jobs_lock_);
    DeleteCriticalSection(&published_lock_);
}

std::string ZephProtocolDevice::guid_text(const GUID& g) {
    char text[128];
    int n = std::snprintf(text, sizeof text, "{%lx-%x-%x-", static_cast<unsigned long>(g.Data1), unsigned(g.Data2),
                          unsigned(g.Data3));
    for (int i = 0; i < 8 && n > 0 && n < int(sizeof text); ++i)
        n += std::snprintf(text + n, sizeof text - size_t(n), "%x", unsigned(g.Data4[i]));
    std::string out(text);
    out += "}";
    return out;
}

bool ZephProtocolDevice::start() {
    if (dead_.load() || !work_event_) return false;
    first_pass_ = true;
    return start_thread(THREAD_PRIORITY_NORMAL);
}

void ZephProtocolDevice::post(job_kind kind, const packet_handle& packet) {
    {
        section_guard guard(&jobs_lock_);
        if (!shut_down_) {
            jobs_.push_back(job{kind, packet});
            SetEvent(work_event_);
            return;
        }
    }
    // A pipe reset is the current packet of the device's queue: the requests behind it go on.
    if (kind == job_kind::pipe_reset)
        complete_and_next(packet, ERROR_OPERATION_ABORTED);
    else if (packet->complete(ERROR_OPERATION_ABORTED))
        notify(*packet);
}

bool ZephProtocolDevice::refused(const packet_handle& packet) {
    if (!dead_.load()) return false;
    if (packet->complete(ERROR_DEVICE_REMOVED)) notify(*packet);
    return true;
}

void ZephProtocolDevice::submit_read(const packet_handle& packet) {
    if (!refused(packet)) read_.submit(packet);
}

void ZephProtocolDevice::submit_write(const packet_handle& packet) {
    if (!refused(packet)) write_.submit(packet);
}

bool ZephProtocolDevice::step() {
    HANDLE events[2] = {stop_event(), work_event_};
    // Bring-up is tried at once, then every period until it succeeds; an up device waits for work.
    const bool retry = !is_up() || retry_;
    DWORD timeout = retry ? DWORD(bring_up_period_ms) : DWORD(INFINITE);
    if (first_pass_) timeout = 0;
    first_pass_ = false;
    const DWORD woke = WaitForMultipleObjects(2, events, FALSE, timeout);
    if (woke == WAIT_OBJECT_0 || stop_requested()) return false;
    run_jobs();
    if ((!is_up() || retry_) && !stop_requested()) retry_ = !bring_up();
    return true;
}

void ZephProtocolDevice::run_jobs() {
    for (;;) {
        job next;
        {
            section_guard guard(&jobs_lock_);
            if (jobs_.empty()) return;
            next = jobs_.front();
            jobs_.pop_front();
        }
        if (next.kind == job_kind::device_reset) {
            // A reset that fails leaves the worker stopped: the task tries again every period.
            retry_ = !bring_up();
            const DWORD status = retry_ ? DWORD(ERROR_GEN_FAILURE) : DWORD(ERROR_SUCCESS);
            if (next.packet->complete(status)) notify(*next.packet);
            continue;
        }
        // A pipe reset is the current packet of the device's own queue, unless it was cancelled
        // while it waited here: then the queue has moved on and nothing is reset.
        if (next.packet->completed()) continue;
        const DWORD word = wire::get24(next.packet->input().bytes());
        next.packet->set_bytes(wire::HEADER_SIZE);
        const DWORD status = word == wire::WORD_READ_PIPE_RESET ? pipe_reset(EPBulkIN::endpoint, 0x1003)
                                                                : pipe_reset(EPBulkOUT::endpoint, 0x1103);
        complete_and_next(next.packet, status);
    }
}

void ZephProtocolDevice::attach_callbacks() {
    RsUSBEmulation* e = emulation_.get();
    if (auto ep = e->control_ref()) ep->set_callback(&ZephProtocolFilter::on_transfer);
    if (auto ep = e->bulk_in_ref()) ep->set_callback(&ZephProtocolFilter::on_transfer);
    if (auto ep = e->bulk_out_ref()) ep->set_callback(&ZephProtocolFilter::on_transfer);
    if (auto ep = e->interrupt_ref()) ep->set_callback(&ZephProtocolFilter::on_transfer);
}

bool ZephProtocolDevice::bring_up() {
    if (dead_.load()) return false;
    RsUSBEmulation* e = emulation_.get();
    if (!e->has_address(address_) && !e->set_address(address_)) return false;
    attach_callbacks();
    if (!e->bring_up(address_)) return false;
    if (dead_.load()) return false;
    {
        // The emulation rewrites its copy at every bring-up; requests read this one.
        section_guard guard(&published_lock_);
        std::memcpy(descriptor_, e->device_descriptor(), sizeof descriptor_);
    }
    if (!up_.exchange(1)) publish();
    return true;
}

void ZephProtocolDevice::publish() {
    const GUID* classes[2] = {&wire::device_interface_guid_main, &wire::device_interface_guid_bulk};
    std::vector<karnet::io_device_interface> made;
    for (const GUID* g : classes)
        made.push_back(
            protocol_->create_device_interface(name_ + "\\" + guid_text(*g), karnet::guid(*g), description_));
    {
        section_guard guard(&published_lock_);
        for (auto& d : made) published_.push_back(d);
    }
    for (const GUID* g : classes) protocol_->notify_arrival(karnet::guid(*g));
}

std::vector<karnet::io_device_interface> ZephProtocolDevice::published(karnet::guid interface_class) {
    std::vector<karnet::io_device_interface> out;
    section_guard guard(&published_lock_);
    for (auto& d : published_)
        if (!interface_class.is_set() || d.interface_class() == interface_class) out.push_back(d);
    return out;
}

bool ZephProtocolDevice::owns_interface(const std::string& interface_name) {
    section_guard guard(&published_lock_);
    for (auto& d : published_)
        if (d.name() == interface_name) return true;
    return false;
}

bool ZephProtocolDevice::unpublish_silently(karnet::guid interface_class) {
    std::vector<karnet::io_device_interface> gone;
    bool empty;
    {
        section_guard guard(&published_lock_);
        for (auto it = published_.begin(); it != published_.end();) {
            if (!interface_class.is_set() || it->interface_class() == interface_class) {
                gone.push_back(*it);
                it = published_.erase(it);
            } else {
                ++it;
            }
        }
        empty = published_.empty();
    }
    return !gone.empty() && empty;
}

void ZephProtocolDevice::unpublish() {
    std::vector<karnet::io_device_interface> gone;
    {
        section_guard guard(&published_lock_);
        gone.swap(published_);
    }
    // Classes by the wire's constants, which outlive every notice.
    bool main = false, bulk = false;
    for (auto& d : gone) {
        if (d.interface_class() == karnet::guid(wire::device_interface_guid_main)) main = true;
        if (d.interface_class() == karnet::guid(wire::device_interface_guid_bulk)) bulk = true;
    }
    gone.clear();
    if (main) protocol_->notify_removal(karnet::guid(wire::device_interface_guid_main));
    if (bulk) protocol_->notify_removal(karnet::guid(wire::device_interface_guid_bulk));
}

void ZephProtocolDevice::recover() {
    if (!up_.exchange(0)) return;
    RsUSBEmulation* e = emulation_.get();
    e->set_configuration_value(0);
    unpublish();
    info_.abort_all();
    read_.abort_all();
    write_.abort_all();
    abort_all();
    if (auto ep = e->control_ref()) ep->abort_all();
    if (auto ep = e->bulk_in_ref()) ep->abort_all();
    if (auto ep = e->bulk_out_ref()) ep->abort_all();
    if (auto ep = e->interrupt_ref()) ep->abort_all();
    // The device task brings the device up again after its period.
    SetEvent(work_event_);
}

void ZephProtocolDevice::cancel() {
    info_.abort_all();
    read_.abort_all();
    write_.abort_all();
    abort_all();
}

void ZephProtocolDevice::shutdown() {
    {
        section_guard guard(&jobs_lock_);
        if (shut_down_) return;
        shut_down_ = true;
    }
    dead_.store(true);
    RsUSBEmulation* e = emulation_.get();
    // A bring-up or pipe reset exchange under way ends at its next attempt.
    e->raise_abort();
    if (e->port()) e->port()->disable();
    request_stop();
    join_thread(nullptr);
    e->lower_abort();
    e->remove_endpoints();
    std::deque<job> left;
    {
        section_guard guard(&jobs_lock_);
        left.swap(jobs_);
    }
    for (job& j : left)
        if (j.packet->complete(ERROR_OPERATION_ABORTED)) notify(*j.packet);
    cancel();
    up_.store(0);
}

DWORD ZephProtocolDevice::submit(const packet_handle& packet) {
    if (refused(packet)) return ERROR_DEVICE_REMOVED;
    switch (packet->code()) {
    case wire::IOCTL_READ_NOTIFICATION: return info_.submit(packet);
    case wire::IOCTL_RESET_DEVICE:
    case wire::IOCTL_RESET_DEVICE2:
        abort_all();
        post(job_kind::device_reset, packet);
        return status_pending;
    case wire::IOCTL_UNSUPPORTED:
        if (packet->complete(ERROR_NOT_SUPPORTED)) notify(*packet);
        return ERROR_NOT_SUPPORTED;
    default: return ZephProtocolFilter::submit(packet);
    }
}

DWORD ZephProtocolDevice::execute(const packet_handle& packet) {
    const ostrel::mem_block& in = packet->input();
    const ostrel::mem_block& out = packet->output();
    const DWORD in_size = in.empty() ? 0 : in.size();
    const DWORD out_size = out.empty() ? 0 : out.size();
    BYTE descriptor[18];
    {
        section_guard guard(&published_lock_);
        std::memcpy(descriptor, descriptor_, sizeof descriptor);
    }
    auto control = emulation_->control_ref();
    packet->set_bytes(0);
    switch (packet->code()) {
    case wire::IOCTL_SELECT_MODE: {
        if (in_size < 1) return ERROR_INVALID_PARAMETER;
        const BYTE mode = in.bytes()[0];
        if (mode > wire::MODE_BULK) return ERROR_GEN_FAILURE;  // no isochronous stream on a line
        packet->stage = stage_mode;
        packet->scratch[0] = mode;
        if (!queue_control(control, packet, std_request::set_configuration(mode), nullptr, true))
            return ERROR_GEN_FAILURE;
        return status_pending;
    }
    case wire::IOCTL_GET_STRING_LENGTH:
        if (in_size != 1 || out_size != 1) return ERROR_INVALID_PARAMETER;
        packet->stage = stage_string_length;
        if (!queue_control(
                control, packet,
                std_request::get_descriptor(std_request::descriptor_string, in.bytes()[0], language_english, 2),
                packet->scratch, true))
            return ERROR_GEN_FAILURE;
        return status_pending;
    case wire::IOCTL_GET_STRING:
        if (in_size != 1 || out_size == 0) return ERROR_INVALID_PARAMETER;
        packet->stage = stage_string;
        if (!queue_control(control, packet,
                           std_request::get_descriptor(std_request::descriptor_string, in.bytes()[0], language_english,
                                                       WORD(std::min(out_size, string_descriptor_max))),
                           out.bytes(), true))
            return ERROR_GEN_FAILURE;
        return status_pending;
    case wire::IOCTL_GET_BCD_DEVICE:
        if (out_size != 2) return ERROR_INVALID_PARAMETER;
        out.bytes()[0] = descriptor[12];
        out.bytes()[1] = descriptor[13];
        packet->set_bytes(2);
        return ERROR_SUCCESS;
    case wire::IOCTL_GET_MANUFACTURER_INDEX:
    case wire::IOCTL_GET_PRODUCT_INDEX:
    case wire::IOCTL_GET_SERIAL_NUMBER_INDEX:
        if (out_size != 1) return ERROR_INVALID_PARAMETER;
        out.bytes()[0] = descriptor[packet->code() == wire::IOCTL_GET_MANUFACTURER_INDEX ? 14
                                    : packet->code() == wire::IOCTL_GET_PRODUCT_INDEX    ? 15
                                                                                         : 16];
        packet->set_bytes(1);
        return ERROR_SUCCESS;
    case wire::IOCTL_VENDOR_COMMAND:
    case wire::IOCTL_VENDOR_WRITE:
    case wire::IOCTL_VENDOR_READ:
        if (in_size < wire::HEADER_SIZE) return ERROR_INVALID_PARAMETER;
        if (is_pipe_reset_word(wire::get24(in.bytes()))) {
            // Synchronous exchanges: never on the emulation worker, which may be running this.
            post(job_kind::pipe_reset, packet);
            return status_pending;
        }
        return vendor_request(packet);
    default: return ERROR_NOT_SUPPORTED;
    }
}

DWORD ZephProtocolDevice::vendor_request(const packet_handle& packet) {
    const ostrel::mem_block& in = packet->input();
    const ostrel::mem_block& out = packet->output();
    const DWORD in_size = in.size();
    const DWORD out_size = out.empty() ? 0 : out.size();
    const wire::header_view header{in.bytes()};
    const DWORD length = header.length();
    SetupRecord setup{0x40, header.request(), header.w_value(), header.value(), WORD(length)};
    BYTE* data = nullptr;
    switch (packet->code()) {
    case wire::IOCTL_VENDOR_COMMAND:
        if (length != 0) return ERROR_INVALID_PARAMETER;
        break;
    case wire::IOCTL_VENDOR_WRITE:
        if (length < 1 || length > wire::MAX_DATA || in_size < wire::HEADER_SIZE + length)
            return ERROR_INVALID_PARAMETER;
        data = in.bytes() + wire::HEADER_SIZE;
        break;
    default:  // IOCTL_VENDOR_READ: the reply lands behind the header in the output
        if (length < 1 || length > wire::MAX_DATA || out_size < wire::HEADER_SIZE + length)
            return ERROR_INVALID_PARAMETER;
        setup.bmRequestType = 0xC0;
        if (out.bytes() != in.bytes()) std::memmove(out.bytes(), in.bytes(), wire::HEADER_SIZE);
        data = out.bytes() + wire::HEADER_SIZE;
        break;
    }
    packet->stage = stage_vendor;
    packet->set_bytes(wire::HEADER_SIZE);
    if (!queue_control(emulation_->control_ref(), packet, setup, data, true)) return ERROR_GEN_FAILURE;
    return status_pending;
}

void ZephProtocolDevice::transferred(const packet_handle& packet, DWORD total, DWORD status) {
    const DWORD result = status_of(status, request_kind::control);
    if (result != ERROR_SUCCESS) {
        complete_and_next(packet, result);
        return;
    }
    const ostrel::mem_block& out = packet->output();
    switch (packet->stage) {
    case stage_string_length:
        if (total < 1) {
            complete_and_next(packet, status_bad_packet);
            return;
        }
        out.bytes()[0] = packet->scratch[0];
        packet->set_bytes(1);
        break;
    case stage_string:
        if (total >= 2) {
            // The text without the descriptor's two head bytes, then a zero character.
            std::memmove(out.bytes(), out.bytes() + 2, total - 2);
            out.bytes()[total - 2] = 0;
            out.bytes()[total - 1] = 0;
        }
        packet->set_bytes(total);
        break;
    case stage_vendor: packet->set_bytes(wire::HEADER_SIZE + total); break;
    default: {
        // Mode request: SET_CONFIGURATION, then the data endpoints' halts cleared, which starts
        // their toggles again on both ends whatever the firmware does on SET_CONFIGURATION.
        const BYTE mode = packet->scratch[0];
        if (packet->stage == stage_mode) emulation_->set_configuration_value(mode);
        const int next = packet->stage - stage_mode;
        if (mode != 0 && next < int(sizeof RsUSBEmulation::data_endpoints)) {
            packet->stage = stage_mode + next + 1;
            if (!queue_control(emulation_->control_ref(), packet,
                               std_request::clear_halt(RsUSBEmulation::data_endpoints[next]), nullptr, true))
                complete_and_next(packet, ERROR_GEN_FAILURE);
            return;
        }
        packet->set_bytes(0);
        break;
    }
    }
    complete_and_next(packet, ERROR_SUCCESS);
}

DWORD ZephProtocolDevice::pipe_reset(BYTE endpoint, WORD word_value) {
    RsUSBEmulation* e = emulation_.get();
    // The reset drops the instrument's partly moved frame: requests of that direction go too.
    if (endpoint == EPBulkIN::endpoint)
        read_.abort_all();
    else
        write_.abort_all();
    auto control = e->control_ref();
    if (!control) return ERROR_GEN_FAILURE;
    auto failed = [&]() -> DWORD {
        return control->result() == result_port_error ? DWORD(ERROR_SEM_TIMEOUT) : DWORD(ERROR_GEN_FAILURE);
    };
    if (!control->request(SetupRecord{0x40, 2, word_value, 0, 0}, nullptr, 5000)) return failed();
    std::shared_ptr<EndPointInOutTransfer> ep;
    if (endpoint == EPBulkIN::endpoint)
        ep = e->bulk_in_ref();
    else
        ep = e->bulk_out_ref();
    if (!ep || !e->abort_and_wait_idle(ep.get(), 10000)) return ERROR_GEN_FAILURE;
    if (!control->request(std_request::clear_halt(endpoint), nullptr, 5000)) return failed();
    return ERROR_SUCCESS;
}

}  // namespace lintra
