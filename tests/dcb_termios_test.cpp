// The speed check of SetCommState: the rate a UART really runs at, and
// whether that is close enough to the rate asked for.
#include "posix/dcb_termios.h"

#include <gtest/gtest.h>

namespace {

TEST(ProgrammedRate, IsTheNearestWholeDivisorsRateWithinThreePercent)
{
    const uint32_t uart_16550 = 115200; // 1.8432 MHz clock
    const struct {
        uint32_t asked;
        uint32_t divisor_base;
        uint32_t programmed;
        bool taken;
    } cases[] = {
        {9600, uart_16550, 9600, true},     {19200, uart_16550, 19200, true},
        {38400, uart_16550, 38400, true},   {57600, uart_16550, 57600, true},
        {115200, uart_16550, 115200, true}, {300, uart_16550, 300, true},
        {56000, uart_16550, 57600, true},   // divisor 2: +2.9%
        {31250, uart_16550, 28800, false},  // divisor 4 (3.69 rounded): -7.8%
        {250000, uart_16550, 115200, false}, // beyond divisor 1
        {230400, uart_16550, 115200, false},
        {14400, uart_16550, 14400, true},
        {16800, uart_16550, 16457, true},   // divisor 7 (6.86 rounded): -2.0%
        {250000, 3000000, 250000, true},    // a 48 MHz clock divides to it
        {31250, 0, 31250, true},            // no known divisor: the reported rate stands
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.asked << " over base " << c.divisor_base);
        const uint32_t programmed = programmed_rate(c.asked, c.divisor_base);
        EXPECT_EQ(programmed, c.programmed);
        struct termios line = {};
        line.c_cflag = CS8 | CREAD | CLOCAL;
        EXPECT_EQ(line_took_settings(&line, c.asked, &line, programmed, true), c.taken);
    }
}

} // namespace
