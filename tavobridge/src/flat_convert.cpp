#include "flat_convert.h"

#include <stdio.h>
#include <string.h>

namespace tavo::conv {

namespace {

constexpr uint32_t refused = 1627;   // ERROR_FUNCTION_FAILED
constexpr uint32_t bad_length = 13;  // ERROR_INVALID_DATA

uint16_t le16(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }

}  // namespace

int32_t leading_int(const std::string &text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > int64_t(INT32_MAX) + 1) value = int64_t(INT32_MAX) + 1;
    }
    if (negative) return value > INT32_MAX ? INT32_MIN : int32_t(-value);
    return value > INT32_MAX ? INT32_MAX : int32_t(value);
}

uint32_t ident_version(uint16_t bcd) {
    char text[8];
    snprintf(text, sizeof text, "%x", unsigned(bcd));
    return uint32_t(leading_int(text));
}

size_t ident_name(const std::string &product, char *out) {
    size_t n = product.size() < ident_name_chars ? product.size() : ident_name_chars;
    // A NUL inside the text ends it, as the caller's C string would.
    size_t nul = product.find('\0');
    if (nul != std::string::npos && nul < n) n = nul;
    memcpy(out, product.data(), n);
    out[n] = '\0';
    return n + 1;
}

void config_words(const uint16_t values[8], uint32_t value32, uint32_t value16, uint32_t words[12]) {
    for (int i = 0; i < 8; ++i) words[i] = values[i];
    words[8] = value32 & max24;
    words[9] = uint32_t(int32_t(value32) >> 24) & max24;
    words[10] = value16 & 0xFF;
    words[11] = (value16 >> 8) & 0xFF;
}

void config_from_words(const uint32_t words[12], uint16_t values[8], uint32_t *value32, uint32_t *value16) {
    for (int i = 0; i < 8; ++i) values[i] = uint16_t(words[i]);
    // Word 9 carries value32's top byte (sign-extended by the sender): put it back on top.
    *value32 = ((words[9] & 0xFF) << 24) | (words[8] & max24);
    *value16 = (words[10] & 0xFF) | ((words[11] & 0xFF) << 8);
}

void words_from_table(const uint8_t *table, size_t count, uint32_t *words) {
    for (size_t i = 0; i < count; ++i, table += 3)
        words[i] = uint32_t(table[0]) | (uint32_t(table[1]) << 8) | (uint32_t(table[2]) << 16);
}

void table_from_words(const uint32_t *words, size_t count, uint8_t *table) {
    for (size_t i = 0; i < count; ++i, table += 3) {
        table[0] = uint8_t(words[i]);
        table[1] = uint8_t(words[i] >> 8);
        table[2] = uint8_t(words[i] >> 16);
    }
}

uint32_t memory_word(uint32_t m1, uint32_t m2, uint32_t nibble) {
    int32_t a = int16_t(uint16_t(m1));
    int32_t b = int16_t(uint16_t(m2));
    uint32_t word = (uint32_t(a | 0x100) << 8) | uint32_t((b + 1) * 16 + int32_t(nibble));
    return word & max24;
}

uint32_t reset_dsp_word(uint32_t a) {
    int32_t v = int16_t(uint16_t(a));
    return (uint32_t(v * 256) | 0x010003u) & max24;
}

bool word_count_ok(uint32_t delivered, uint32_t count) { return delivered >= 8 && (delivered - 8) / 3 == count; }

block_reply check_block(const uint8_t *reply, uint32_t delivered) {
    if (delivered < 2) return {bad_length, 0};
    if (le16(reply) == 0) return {refused, 0};
    if (delivered < 4) return {bad_length, 0};
    uint32_t n = le16(reply + 2);
    if (delivered - 4 != n) return {bad_length, 0};
    return {0, n};
}

uint32_t check_flash(const uint8_t *reply, uint32_t delivered, uint32_t length) {
    if (delivered < 2) return bad_length;
    if (le16(reply) == 0) return refused;
    return delivered - 2 == length ? 0 : bad_length;
}

}  // namespace tavo::conv
