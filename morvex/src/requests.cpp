#include <morvex/requests.h>

#include <cstring>

#include <karnet/iapi.h>

namespace morvex {

using namespace zeph_wire;

block_view::block_view(const ostrel::mem_block& block, uint32_t offset, uint32_t length) : block_(block) {
    // A view never reaches past what the block holds.
    if (offset <= block.size() && length <= block.size() - offset && !block.empty()) {
        offset_ = offset;
        length_ = length;
    }
}

uint32_t block_view::word(uint32_t index) const {
    if (index >= word_count()) return 0;
    return get24(data() + index * WORD_SIZE);
}

bool block_view::set_word(uint32_t index, uint32_t value) const {
    if (index >= word_count() || value > WORD_MAX) return false;
    put24(data() + index * WORD_SIZE, value);
    return true;
}

zeph_request::blocks zeph_request::make_blocks(const karnet::karnet_lib& library, uint32_t word, uint16_t value,
                                               uint32_t count, bool reply) {
    blocks b;
    // Checked before 3n is computed: the length field holds only 16 bits.
    if (word > WORD_MAX || count > MAX_WORDS || !library) return b;
    const uint32_t size = HEADER_SIZE + WORD_SIZE * count;
    ostrel::mem_block whole = library->allocate(size, false);
    if (whole.empty() || whole.size() < size) return b;
    header_view{whole.bytes()}.write(word, value, count);
    b.whole = whole;
    if (reply) {
        b.output = whole;
        b.input = ostrel::mem_block(whole.data(), HEADER_SIZE, false);
    } else {
        b.input = whole;
    }
    return b;
}

zeph_request::zeph_request(const karnet::karnet_lib& library, uint32_t code, uint32_t count, const blocks& b)
    : karnet::io_control(library, code, b.output, b.input),
      count_(b.whole.empty() ? 0 : uint16_t(count)),
      data_(b.whole, HEADER_SIZE, b.whole.empty() ? 0 : WORD_SIZE * count) {}

zeph_request::zeph_request(const karnet::karnet_lib& library, uint32_t code, uint32_t word, uint16_t value,
                           uint32_t count, bool reply)
    : zeph_request(library, code, count, make_blocks(library, word, value, count, reply)) {}

zeph_command::zeph_command(const karnet::karnet_lib& library, uint32_t word, uint16_t value)
    : zeph_request(library, IOCTL_VENDOR_COMMAND, word, value, 0, false) {}

zeph_get_param::zeph_get_param(const karnet::karnet_lib& library, uint32_t word, uint16_t value, uint32_t count)
    : zeph_request(library, IOCTL_VENDOR_READ, word, value, count, true) {}

zeph_set_param::zeph_set_param(const karnet::karnet_lib& library, uint32_t word, uint16_t value, uint32_t count)
    : zeph_request(library, IOCTL_VENDOR_WRITE, word, value, count, false) {}

namespace {
// A source too small for its words leaves the request without buffers (refused).
uint32_t count_if(bool ok, uint32_t count) { return ok ? count : MAX_WORDS + 1; }
}  // namespace

zeph_set_param::zeph_set_param(const karnet::karnet_lib& library, uint32_t word, uint16_t value, uint32_t count,
                               const void* source)
    : zeph_request(library, IOCTL_VENDOR_WRITE, word, value, count_if(source != nullptr || count == 0, count), false) {
    if (!refused() && count) std::memcpy(data().data(), source, WORD_SIZE * count);
}

zeph_set_param::zeph_set_param(const karnet::karnet_lib& library, const param_block& block)
    : zeph_request(library, IOCTL_VENDOR_WRITE, block.word, block.value,
                   count_if(block.count == 0 || block.data.size() >= WORD_SIZE * uint32_t(block.count), block.count),
                   false) {
    if (!refused() && block.count) std::memcpy(data().data(), block.data.data(), WORD_SIZE * block.count);
}

DWORD check_request(const karnet::io_control& op) {
    switch (op.code()) {
    case IOCTL_VENDOR_COMMAND:
    case IOCTL_VENDOR_WRITE:
    case IOCTL_VENDOR_READ: {
        const ostrel::mem_block& in = op.input();
        if (in.empty() || in.size() < HEADER_SIZE) return ERROR_INVALID_PARAMETER;
        const uint32_t length = header_view{in.bytes()}.length();
        if (op.code() == IOCTL_VENDOR_COMMAND && length != 0) return ERROR_INVALID_PARAMETER;
        if (op.code() == IOCTL_VENDOR_WRITE && in.size() < HEADER_SIZE + length) return ERROR_INVALID_PARAMETER;
        if (op.code() == IOCTL_VENDOR_READ && op.output().size() < HEADER_SIZE + length) return ERROR_INVALID_PARAMETER;
        return 0;
    }
    default: return 0;
    }
}

DWORD check_reply(const karnet::io_control& op, uint32_t bytes) {
    uint32_t need = 0;
    switch (op.code()) {
    case IOCTL_GET_STRING_LENGTH:
    case IOCTL_GET_MANUFACTURER_INDEX:
    case IOCTL_GET_PRODUCT_INDEX:
    case IOCTL_GET_SERIAL_NUMBER_INDEX: need = 1; break;
    case IOCTL_GET_BCD_DEVICE: need = 2; break;
    case IOCTL_READ_NOTIFICATION:
        // Up to the end of the event data: the record's last byte is not read (a USB record has 63).
        need = NOTIFY_DATA_OFFSET + NOTIFY_DATA_SIZE;
        break;
    case IOCTL_VENDOR_READ:
        // The reply header is written over the request's, so the size asked for is what counts.
        need = op.output().size();
        break;
    default: return 0;
    }
    return bytes < need ? ERROR_INVALID_DATA : 0;
}

}  // namespace morvex
