#include "serial_fixture.h"

#include <cstring>

namespace lintra_test {

SerialInstrument::SerialInstrument(std::string name, simdev::instrument_config cfg, simdev::serial_options opt,
                                   DWORD timeout_ms)
    : model(std::make_shared<simdev::instrument>(std::move(cfg))) {
    auto ends = simdev::memory_line::make_pair();
    host_end = ends.first;
    device_end = ends.second;
    device = std::make_unique<simdev::serial_device>(model, device_end, opt);
    device->start();
    memory_port = new MemoryComPort(host_end, std::move(name), timeout_ms);
    port = w32cpp::auto_handle<IComPort>(memory_port);
}

std::unique_ptr<SerialInstrument> SerialInstrument::on_pty(simdev::instrument_config cfg, DWORD timeout_ms) {
    std::unique_ptr<SerialInstrument> s(new SerialInstrument(bare{}));
    s->model = std::make_shared<simdev::instrument>(std::move(cfg));
    s->terminal = std::make_unique<simdev::pseudo_terminal>();
    s->device = std::make_unique<simdev::serial_device>(s->model, s->terminal->master());
    s->device->start();
    s->pty_port = new PtyComPort(s->terminal->path(), timeout_ms);
    s->port = w32cpp::auto_handle<IComPort>(s->pty_port);
    return s;
}

SerialInstrument::~SerialInstrument() {
    device->stop();
    if (host_end) host_end->close();
}

void SerialTransport::SetUp() {
    // The 5 s interrupt poll and the other long waits run a hundred times faster.
    standin::clock::set_long_wait_scale(0.01);
    lintra_ = std::make_unique<w32cpp::dynamic_link_instance<lintra::iapi>>("lintra8", "lintra_get_instance");
    ASSERT_TRUE(*lintra_);
    manager_ = std::make_unique<karnet::karnet_lib>();
    ASSERT_TRUE(*manager_);
}

void SerialTransport::TearDown() {
    if (lintra_ && *lintra_) (*lintra_)->serial_disable();
    lintra_.reset();
    manager_.reset();
    standin::clock::reset();
}

karnet::interface_list SerialTransport::listed(const GUID& interface_class) {
    return manager().device_interfaces(karnet::guid(interface_class));
}

bool SerialTransport::wait_listed(const GUID& interface_class, const std::string& prefix, bool present) {
    return zephtest::wait_until([&] {
        for (auto& d : listed(interface_class))
            if (d.name().rfind(prefix, 0) == 0) return present;
        return !present;
    });
}

karnet::io_session SerialTransport::open(const std::string& prefix) {
    for (auto& d : listed(wire::device_interface_guid_bulk))
        if (d.name().rfind(prefix, 0) == 0) return manager().create_session(d);
    return manager().create_session(karnet::io_device_interface());
}

DWORD SerialTransport::finish(karnet::io_session& s, const karnet::assync_handle& request, DWORD ms) {
    if (!request) return ERROR_INVALID_HANDLE;
    // Waits of 5 s and more are scaled down in these tests: wait in shorter steps.
    const DWORD start = GetTickCount();
    while (request->wait_for(step_ms).get_code() != 0) {
        if (GetTickCount() - start >= ms) {
            // The caller's buffers go when this returns: end the request first.
            s.cancel();
            request->wait_for(step_ms);
            ADD_FAILURE() << "request still pending after " << ms << " ms";
            break;
        }
    }
    return request->result(false).get_code();
}

SerialTransport::reply SerialTransport::control(karnet::io_session& s, DWORD code, void* out, DWORD out_size,
                                                const void* in, DWORD in_size, DWORD ms) {
    karnet::io_control op = s.control_on_memory(code, out, out_size, const_cast<void*>(in), in_size);
    const DWORD status = finish(s, s.submit_control(op), ms);
    return {status, op.request() ? op.request()->bytes() : 0u};
}

karnet::io_session SerialTransport::ready(SerialInstrument& line, const std::string& prefix) {
    EXPECT_TRUE(api().register_port(line.port, 1));
    EXPECT_TRUE(wait_listed(wire::device_interface_guid_bulk, prefix));
    karnet::io_session s = open(prefix);
    EXPECT_TRUE(s.is_open());
    EXPECT_EQ(set_mode(s, 1).status, 0u);
    return s;
}

SerialTransport::reply SerialTransport::set_mode(karnet::io_session& s, BYTE mode) {
    BYTE in[4] = {mode, 0, 0, 0};
    return control(s, wire::IOCTL_SELECT_MODE, nullptr, 0, in, 4);
}

SerialTransport::reply SerialTransport::vendor_read(karnet::io_session& s, DWORD word, WORD value, WORD words,
                                                    std::vector<BYTE>* data) {
    // One block: the header is the input view, the whole block the output.
    std::vector<BYTE> block(wire::HEADER_SIZE + wire::WORD_SIZE * words);
    wire::header_view{block.data()}.write(word, value, words);
    reply r = control(s, wire::IOCTL_VENDOR_READ, block.data(), DWORD(block.size()), block.data(), wire::HEADER_SIZE);
    if (data) data->assign(block.begin() + wire::HEADER_SIZE, block.end());
    return r;
}

SerialTransport::reply SerialTransport::vendor_write(karnet::io_session& s, DWORD word, WORD value,
                                                     const std::vector<DWORD>& words) {
    std::vector<BYTE> block(wire::HEADER_SIZE + wire::WORD_SIZE * words.size());
    wire::header_view{block.data()}.write(word, value, DWORD(words.size()));
    for (size_t i = 0; i < words.size(); ++i) wire::put24(block.data() + wire::HEADER_SIZE + 3 * i, words[i]);
    return control(s, wire::IOCTL_VENDOR_WRITE, nullptr, 0, block.data(), DWORD(block.size()));
}

SerialTransport::reply SerialTransport::vendor_command(karnet::io_session& s, DWORD word, WORD value) {
    BYTE header[wire::HEADER_SIZE] = {};
    wire::header_view{header}.write(word, value, 0);
    return control(s, wire::IOCTL_VENDOR_COMMAND, nullptr, 0, header, sizeof header);
}

SerialTransport::reply SerialTransport::read(karnet::io_session& s, std::vector<BYTE>& buffer, DWORD ms) {
    karnet::io_read op = s.read_on_memory(buffer.data(), DWORD(buffer.size()), false);
    const DWORD status = finish(s, s.submit_read(op), ms);
    return {status, op.request() ? op.request()->bytes() : 0u};
}

SerialTransport::reply SerialTransport::write(karnet::io_session& s, std::vector<BYTE> data, DWORD ms) {
    karnet::io_write op = s.write_on_memory(data.data(), DWORD(data.size()), false);
    const DWORD status = finish(s, s.submit_write(op), ms);
    return {status, op.request() ? op.request()->bytes() : 0u};
}

}  // namespace lintra_test
