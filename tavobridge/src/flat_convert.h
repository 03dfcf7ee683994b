// Conversions between the instrument's replies and what Visual Basic callers hand us: 32-bit
// integers, 16-bit arrays, packed 24-bit tables and fixed text buffers. Pure functions, no I/O.
#ifndef TAVOBRIDGE_FLAT_CONVERT_H
#define TAVOBRIDGE_FLAT_CONVERT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace tavo::conv {

// Largest length a bulk read or a 24-bit data word can carry.
constexpr uint32_t max24 = 0xFFFFFF;

// Integer at the start of a text by the C runtime's atoi rules (blanks, sign, digits); 0 when none.
// Saturates instead of overflowing.
int32_t leading_int(const std::string &text);

// bcdDevice printed as "%x" and read back as a decimal number: 0x0105 -> 105, 0x1A0 -> 1.
uint32_t ident_version(uint16_t bcd);

// The product name cut to 20 characters and NUL-terminated; writes at most 21 bytes. Returns the
// bytes written.
constexpr size_t ident_name_chars = 20;
size_t ident_name(const std::string &product, char *out);

// The 12 configuration words: the eight 16-bit values, value32 in two words (low 24 bits, then the
// top byte sign-extended), value16 in two bytes.
void config_words(const uint16_t values[8], uint32_t value32, uint32_t value16, uint32_t words[12]);

// Rebuilds what config_words packed: the eight values, value32 (word 9 moved back to the top byte)
// and value16.
void config_from_words(const uint32_t words[12], uint16_t values[8], uint32_t *value32, uint32_t *value16);

// Packed little-endian 24-bit table <-> words.
void words_from_table(const uint8_t *table, size_t count, uint32_t *words);
void table_from_words(const uint32_t *words, size_t count, uint8_t *table);

// Memory-access word: ((m1 | 0x100) << 8) | ((m2 + 1) * 16 + nibble), both taken as signed
// 16-bit values, kept to 24 bits.
uint32_t memory_word(uint32_t m1, uint32_t m2, uint32_t nibble);

// DSP reset word: (a as signed 16-bit * 256) | 0x010003, kept to 24 bits.
uint32_t reset_dsp_word(uint32_t a);

// A vendor reply holds the header and exactly `count` words (a trailing partial word is ignored).
// A reply shorter than the header never passes.
bool word_count_ok(uint32_t delivered, uint32_t count);

// Little-endian 16-bit values zero-extended into 32-bit elements (uint32_t or the platform's DWORD).
template <class Long>
void widen16(const uint8_t *src, uint32_t values, Long *dst) {
    static_assert(sizeof(Long) == 4, "Visual Basic Long elements");
    for (uint32_t i = 0; i < values; ++i) dst[i] = Long(src[2 * i] | (src[2 * i + 1] << 8));
}

// A bulk block: status word at 0, byte count at 2, data from 4.
struct block_reply {
    uint32_t result;  // 0, 1627 (refused), 13 (length does not match its count)
    uint32_t count;   // the byte count when result is 0
};
block_reply check_block(const uint8_t *reply, uint32_t delivered);

// A flash reply: status word at 0, then exactly `length` data bytes. 0, 1627 or 13.
uint32_t check_flash(const uint8_t *reply, uint32_t delivered, uint32_t length);

}  // namespace tavo::conv

#endif
