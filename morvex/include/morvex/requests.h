// Vendor requests of the instrument: 24-bit words, counted buffer views and the request classes that
// the session factories build.
#ifndef MORVEX_REQUESTS_H
#define MORVEX_REQUESTS_H

#include <windows.h>

#include <cstdint>

#include <w32cpp/status.h>

#include <ostrel/heap.h>

#include <karnet/io_operation.h>
#include <karnet/karnet_lib.h>

#include <morvex/wire.h>

namespace morvex {

// An unsigned 24-bit quantity held in the low bits of a 32-bit field. Values above 0xFFFFFF are
// refused with out_of_range instead of losing their top bits.
class __word24 {
public:
    class out_of_range : public w32cpp::w32_exception {
    public:
        out_of_range() : w32cpp::w32_exception("__word24 out of range") {}
    };

    __word24() = default;
    __word24(uint32_t v) { *this = v; }
    __word24& operator=(uint32_t v) {
        if (v > zeph_wire::WORD_MAX) throw out_of_range();
        field_ = (field_ & 0xFF000000u) | v;
        return *this;
    }
    operator uint32_t() const { return field_ & zeph_wire::WORD_MAX; }

private:
    uint32_t field_ = 0;
};

// A counted view of part of a buffer: the block (and so its memory) lives while any view does.
class block_view {
public:
    block_view() = default;
    block_view(const ostrel::mem_block& block, uint32_t offset, uint32_t length);

    const ostrel::mem_block& block() const { return block_; }
    unsigned char* data() const { return length_ ? block_.bytes() + offset_ : nullptr; }
    uint32_t size() const { return length_; }
    bool empty() const { return length_ == 0; }
    // Packed 24-bit words of the view: count, read, and write (false for an index past the end or a
    // value above 24 bits).
    uint32_t word_count() const { return length_ / zeph_wire::WORD_SIZE; }
    uint32_t word(uint32_t index) const;
    bool set_word(uint32_t index, uint32_t value) const;

private:
    ostrel::mem_block block_;
    uint32_t offset_ = 0;
    uint32_t length_ = 0;
};

// What a set-parameter request may be built from.
struct param_block {
    uint32_t word = 0;
    uint16_t value = 0;
    uint16_t count = 0;
    ostrel::mem_block data;  // at least 3 x count bytes
};

// A vendor request: the 8-byte header and its words in one block. A request that cannot be sent as
// asked (a word above 24 bits, more words than an answering side accepts, no memory) is built
// refused: it carries no buffers and a session answers it with ERROR_INVALID_PARAMETER.
class zeph_request : public karnet::io_control {
public:
    zeph_request(const zeph_request&) = default;

    uint16_t count() const { return count_; }
    bool refused() const { return input().empty(); }
    // The request's words (bytes 8 .. 8 + 3n - 1 of its block).
    const block_view& data() const { return data_; }

protected:
    zeph_request(const karnet::karnet_lib& library, uint32_t code, uint32_t word, uint16_t value, uint32_t count,
                 bool reply);

private:
    struct blocks {
        ostrel::mem_block output, input, whole;
    };
    zeph_request(const karnet::karnet_lib& library, uint32_t code, uint32_t count, const blocks& b);
    static blocks make_blocks(const karnet::karnet_lib& library, uint32_t word, uint16_t value, uint32_t count,
                              bool reply);

    uint16_t count_;
    block_view data_;
};

class zeph_command : public zeph_request {
public:
    zeph_command(const karnet::karnet_lib& library, uint32_t word, uint16_t value);
};

class zeph_get_param : public zeph_request {
public:
    zeph_get_param(const karnet::karnet_lib& library, uint32_t word, uint16_t value, uint32_t count);
    // Reply word i after a successful execution.
    uint32_t word(uint32_t index) const { return data().word(index); }
};

class zeph_set_param : public zeph_request {
public:
    // The caller writes the words into data() before executing it.
    zeph_set_param(const karnet::karnet_lib& library, uint32_t word, uint16_t value, uint32_t count);
    // 3 x count bytes copied from source (refused when source is null).
    zeph_set_param(const karnet::karnet_lib& library, uint32_t word, uint16_t value, uint32_t count,
                   const void* source);
    // The block's first 3 x count bytes (refused when it holds fewer).
    zeph_set_param(const karnet::karnet_lib& library, const param_block& block);
    bool set_word(uint32_t index, uint32_t value) const { return data().set_word(index, value); }
};

// Checks a request before it is sent and its reply after: a vendor request without a whole header
// is refused (87); a reply shorter than its code's fixed size is an error (ERROR_INVALID_DATA).
DWORD check_request(const karnet::io_control& op);
DWORD check_reply(const karnet::io_control& op, uint32_t bytes);

}  // namespace morvex

#endif
