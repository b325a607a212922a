#include <gtest/gtest.h>

#include <stdint.h>

#include "crc16.h"

namespace {

void add_bytes(std::initializer_list<int32_t> values)
{
    for (int32_t value : values) {
        crc16_add(value);
    }
}

TEST(Crc16, CheckValueOfTheDigitsOneToNine)
{
    crc16_reset();
    for (const char *digit = "123456789"; *digit != '\0'; digit++) {
        crc16_add(*digit);
    }
    EXPECT_EQ(crc16_running, 0x4B37);
}

TEST(Crc16, TableHasTheReflectedPolynomialEntries)
{
    const struct {
        int index;
        uint16_t entry;
    } cases[] = {{0, 0x0000}, {1, 0xC0C1}, {2, 0xC181}, {3, 0x0140}, {128, 0xA001}, {255, 0x4040}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.index);
        EXPECT_EQ(crc16_table[static_cast<size_t>(c.index)], c.entry);
    }
}

// One fold from a given register; only the low 8 bits of the value count,
// and the register shifts in zeros (a sign-copying shift gives 0xBFBF).
TEST(Crc16, SingleStepUsesOnlyTheLowByte)
{
    const struct {
        uint16_t from;
        int32_t value;
        uint16_t to;
    } cases[] = {
        {0xFFFF, 0x00, 0x40BF},     {0xFFFF, 0xFF, 0x00FF},      {0xFFFF, 0x31, 0x947E},
        {0x1234, 0x1AB, 0x6852},    {0xFFFF, 300, 0x9DBE},       {0xFFFF, 44, 0x9DBE},
        {0xFFFF, -1, 0x00FF},       {0xFFFF, 0x7FFFFFFF, 0x00FF}, {0xFFFF, INT32_MIN, 0x40BF},
        {0x0000, 0x80, 0xA001},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "from 0x" << c.from << " value 0x" << c.value);
        crc16_running = c.from;
        crc16_add(c.value);
        EXPECT_EQ(crc16_running, c.to);
    }
}

TEST(Crc16, ResetStartsEveryChecksumAfreshAndBytesComeLowFirst)
{
    crc16_running = 0x1234;
    crc16_reset();
    add_bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x01});
    EXPECT_EQ(crc16_running, 0x0A84);
    EXPECT_EQ(crc16_low_byte(), 0x84);
    EXPECT_EQ(crc16_high_byte(), 0x0A);
    EXPECT_EQ(crc16_running, 0x0A84) << "reading the bytes must not change the register";

    // A frame followed by its own checksum, low byte first, checks to zero.
    add_bytes({0x84, 0x0A});
    EXPECT_EQ(crc16_running, 0x0000);
}

} // namespace
