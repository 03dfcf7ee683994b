#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "flat_convert.h"

using namespace tavo::conv;

TEST(FlatConvert, IdentNumberFollowsAtoiAndNeverOverflows) {
    EXPECT_EQ(leading_int("1001"), 1001);
    EXPECT_EQ(leading_int("  -42x7"), -42);
    EXPECT_EQ(leading_int("+7"), 7);
    EXPECT_EQ(leading_int("SN1001"), 0);
    EXPECT_EQ(leading_int(""), 0);
    EXPECT_EQ(leading_int("99999999999999999999"), INT32_MAX);
    EXPECT_EQ(leading_int("-99999999999999999999"), INT32_MIN);
}

TEST(FlatConvert, IdentVersionReadsHexDigitsAsDecimal) {
    EXPECT_EQ(ident_version(0x0105), 105u);
    EXPECT_EQ(ident_version(0x0123), 123u);
    EXPECT_EQ(ident_version(0x1A0), 1u);
    EXPECT_EQ(ident_version(0), 0u);
    EXPECT_EQ(ident_version(0xFFFF), 0u);
    EXPECT_EQ(ident_version(0x9999), 9999u);
}

TEST(FlatConvert, IdentNameWritesTwentyCharactersAndNulNeverMore) {
    char out[32];
    memset(out, 0xCC, sizeof out);
    EXPECT_EQ(ident_name("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123", out), 21u);
    EXPECT_STREQ(out, "ABCDEFGHIJKLMNOPQRST");
    for (size_t i = 21; i < sizeof out; ++i) EXPECT_EQ(uint8_t(out[i]), 0xCC) << i;

    memset(out, 0xCC, sizeof out);
    EXPECT_EQ(ident_name("exactly-twenty-chars", out), 21u);
    EXPECT_STREQ(out, "exactly-twenty-chars");
    EXPECT_EQ(uint8_t(out[21]), 0xCC);

    memset(out, 0xCC, sizeof out);
    EXPECT_EQ(ident_name("", out), 1u);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(uint8_t(out[1]), 0xCC);

    memset(out, 0xCC, sizeof out);
    EXPECT_EQ(ident_name(std::string("ab\0cd", 5), out), 3u);
    EXPECT_STREQ(out, "ab");
}

TEST(FlatConvert, ConfigWordsSplitValue32AndValue16) {
    const uint16_t values[8] = {1, 2, 3, 0xFFFF, 5, 6, 7, 0x8000};
    uint32_t words[12];
    config_words(values, 0x80000000u, 0xBEEF, words);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(words[i], values[i]);
    EXPECT_EQ(words[8], 0u);
    EXPECT_EQ(words[9], 0xFFFF80u);  // the top byte, sign-extended, in 24 bits
    EXPECT_EQ(words[10], 0xEFu);
    EXPECT_EQ(words[11], 0xBEu);

    config_words(values, 0x12345678u, 0x0001, words);
    EXPECT_EQ(words[8], 0x345678u);
    EXPECT_EQ(words[9], 0x12u);
    EXPECT_EQ(words[10], 0x01u);
    EXPECT_EQ(words[11], 0x00u);
}

TEST(FlatConvert, ConfigRoundTripKeepsEveryValue32) {
    // A sum of words 8 and 9 is wrong from 0x1000000 up; the top byte goes back on top.
    const uint32_t cases[] = {0, 1, 0xFFFFFF, 0x1000000, 0x12345678, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    const uint16_t values[8] = {10, 20, 30, 40, 50, 60, 70, 80};
    for (uint32_t v32 : cases) {
        uint32_t words[12];
        config_words(values, v32, 0xA55A, words);
        uint16_t back[8];
        uint32_t v32_back = 0, v16_back = 0;
        config_from_words(words, back, &v32_back, &v16_back);
        EXPECT_EQ(v32_back, v32) << std::hex << v32;
        EXPECT_EQ(v16_back, 0xA55Au);
        EXPECT_EQ(memcmp(back, values, sizeof values), 0);
    }
}

TEST(FlatConvert, ConfigFromWordsTakesLow16BitsOfEachValue) {
    uint32_t words[12] = {0xABCDEF, 0x10000, 0, 0, 0, 0, 0, 0xFFFF, 0x000005, 0, 0x1FF, 0x2FE};
    uint16_t values[8];
    uint32_t v32 = 0, v16 = 0;
    config_from_words(words, values, &v32, &v16);
    EXPECT_EQ(values[0], 0xCDEF);
    EXPECT_EQ(values[1], 0);
    EXPECT_EQ(values[7], 0xFFFF);
    EXPECT_EQ(v32, 5u);
    EXPECT_EQ(v16, 0xFEFFu);
}

TEST(FlatConvert, TablesAreLittleEndian24BitWords) {
    const uint8_t table[18] = {0x01, 0x02, 0x03, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x10, 0, 0, 0, 0x20, 0, 0, 0, 0x30};
    uint32_t words[6];
    words_from_table(table, 6, words);
    EXPECT_EQ(words[0], 0x030201u);
    EXPECT_EQ(words[1], 0xFFFFFFu);
    EXPECT_EQ(words[2], 0u);
    EXPECT_EQ(words[3], 0x10u);
    EXPECT_EQ(words[4], 0x2000u);
    EXPECT_EQ(words[5], 0x300000u);
    uint8_t back[19];
    memset(back, 0xCC, sizeof back);
    table_from_words(words, 6, back);
    EXPECT_EQ(memcmp(back, table, 18), 0);
    EXPECT_EQ(back[18], 0xCC);
}

TEST(FlatConvert, MemoryAndDspWords) {
    EXPECT_EQ(memory_word(0, 2, 1), 0x010031u);
    EXPECT_EQ(memory_word(0, 2, 0), 0x010030u);
    EXPECT_EQ(memory_word(255, 14, 2), 0x10000u + 255 * 256 + 15 * 16 + 2);
    EXPECT_EQ(memory_word(0x12, 0, 2), 0x011212u);
    // Negative m1 (signed 16 bits) keeps only 24 bits.
    EXPECT_EQ(memory_word(0xFFFF, 0, 0), 0xFFFF10u);
    // m2 of -1 gives (m2 + 1) * 16 = 0.
    EXPECT_EQ(memory_word(0, 0xFFFF, 1), 0x010001u);
    EXPECT_EQ(reset_dsp_word(0), 0x010003u);
    EXPECT_EQ(reset_dsp_word(1), 0x010103u);
    EXPECT_EQ(reset_dsp_word(0x12), 0x011203u);
    EXPECT_EQ(reset_dsp_word(0xFFFF), 0xFFFF03u);
    EXPECT_EQ(reset_dsp_word(0x10005), 0x010503u);
}

TEST(FlatConvert, WordCountNeverWrapsOnShortReplies) {
    EXPECT_TRUE(word_count_ok(8 + 15, 5));
    EXPECT_FALSE(word_count_ok(8 + 12, 5));
    EXPECT_FALSE(word_count_ok(8 + 18, 5));
    EXPECT_TRUE(word_count_ok(8 + 17, 5));  // a trailing partial word is ignored
    EXPECT_TRUE(word_count_ok(8, 0));
    // Shorter than the header: a 16-bit difference would read as 21842 words.
    for (uint32_t d = 0; d < 8; ++d) {
        EXPECT_FALSE(word_count_ok(d, 21842)) << d;
        EXPECT_FALSE(word_count_ok(d, 0)) << d;
    }
    // A count that only matches after a 16-bit cut does not pass either.
    EXPECT_FALSE(word_count_ok(8 + 0x10000 * 3, 0));
}

TEST(FlatConvert, Widen16ZeroExtendsLittleEndian) {
    const uint8_t src[6] = {0x34, 0x12, 0xFF, 0xFF, 0x00, 0x80};
    uint32_t dst[4] = {0xDEAD, 0xDEAD, 0xDEAD, 0xDEAD};
    widen16(src, 3, dst);
    EXPECT_EQ(dst[0], 0x1234u);
    EXPECT_EQ(dst[1], 0xFFFFu);
    EXPECT_EQ(dst[2], 0x8000u);
    EXPECT_EQ(dst[3], 0xDEADu);
}

TEST(FlatConvert, BulkBlockReplies) {
    std::vector<uint8_t> r = {0x01, 0x00, 0x03, 0x00, 'a', 'b', 'c'};
    auto b = check_block(r.data(), 7);
    EXPECT_EQ(b.result, 0u);
    EXPECT_EQ(b.count, 3u);
    EXPECT_EQ(check_block(r.data(), 6).result, 13u);  // one short of its count
    r[0] = 0;
    EXPECT_EQ(check_block(r.data(), 7).result, 1627u);
    r[0] = 1;
    EXPECT_EQ(check_block(r.data(), 3).result, 13u);
    EXPECT_EQ(check_block(r.data(), 1).result, 13u);
    EXPECT_EQ(check_block(r.data(), 0).result, 13u);
    std::vector<uint8_t> empty = {0x05, 0x00, 0x00, 0x00};
    EXPECT_EQ(check_block(empty.data(), 4).result, 0u);
    EXPECT_EQ(check_block(empty.data(), 4).count, 0u);
}

TEST(FlatConvert, FlashReplies) {
    std::vector<uint8_t> r(18, 0x11);
    EXPECT_EQ(check_flash(r.data(), 18, 16), 0u);
    EXPECT_EQ(check_flash(r.data(), 17, 16), 13u);
    EXPECT_EQ(check_flash(r.data(), 2, 0), 0u);
    EXPECT_EQ(check_flash(r.data(), 1, 0), 13u);
    EXPECT_EQ(check_flash(r.data(), 0, 0), 13u);
    r[0] = r[1] = 0;
    EXPECT_EQ(check_flash(r.data(), 18, 16), 1627u);
}
