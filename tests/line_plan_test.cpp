// The plan for the modem lines and the RS-485 mode, and the length of a
// character on the line: pure functions of the settings record and of what
// the driver can do.
#include "posix/line_plan.h"

#include <gtest/gtest.h>

namespace {

DCB record(DWORD rts_control, DWORD dtr_control)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fRtsControl = rts_control & 3u;
    dcb.fDtrControl = dtr_control & 3u;
    dcb.ByteSize = 8;
    return dcb;
}

const driver_abilities serial_port = {true, false, true};
const driver_abilities usb_adapter = {true, false, false};
const driver_abilities rs485_driver = {true, true, true};
const driver_abilities pseudo_terminal = {false, false, false};

TEST(LinePlan, FollowsTheRecordAndWhatTheDriverCanDo)
{
    const struct {
        const char *what;
        DWORD rts_control;
        DWORD dtr_control;
        driver_abilities driver;
        line_plan expected;
    } cases[] = {
        {"toggle, UART that reports its empty transmitter", RTS_CONTROL_TOGGLE,
         DTR_CONTROL_ENABLE, serial_port, {true, true, RTS_LOW, DIRECTION_BY_HAND_TEMT}},
        {"toggle, adapter that does not", RTS_CONTROL_TOGGLE, DTR_CONTROL_DISABLE, usb_adapter,
         {true, false, RTS_LOW, DIRECTION_BY_HAND_DRAIN}},
        {"toggle, driver with RS-485 mode", RTS_CONTROL_TOGGLE, DTR_CONTROL_ENABLE,
         rs485_driver, {true, true, RTS_LEFT_ALONE, DIRECTION_KERNEL}},
        {"toggle, pseudo-terminal", RTS_CONTROL_TOGGLE, DTR_CONTROL_ENABLE, pseudo_terminal,
         {false, true, RTS_LEFT_ALONE, DIRECTION_NONE}},
        {"RTS on", RTS_CONTROL_ENABLE, DTR_CONTROL_ENABLE, rs485_driver,
         {true, true, RTS_HIGH, DIRECTION_NONE}},
        {"RTS off", RTS_CONTROL_DISABLE, DTR_CONTROL_DISABLE, serial_port,
         {true, false, RTS_LOW, DIRECTION_NONE}},
        {"RTS handshake", RTS_CONTROL_HANDSHAKE, DTR_CONTROL_ENABLE, serial_port,
         {true, true, RTS_LEFT_ALONE, DIRECTION_NONE}},
        {"RTS on, pseudo-terminal", RTS_CONTROL_ENABLE, DTR_CONTROL_DISABLE, pseudo_terminal,
         {false, false, RTS_LEFT_ALONE, DIRECTION_NONE}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const DCB dcb = record(c.rts_control, c.dtr_control);
        const line_plan plan = plan_line(&dcb, &c.driver);
        EXPECT_EQ(plan.sets_dtr, c.expected.sets_dtr);
        EXPECT_EQ(plan.dtr_on, c.expected.dtr_on);
        EXPECT_EQ(plan.rts, c.expected.rts);
        EXPECT_EQ(plan.direction, c.expected.direction);
    }
}

TEST(CharacterTime, CountsStartParityAndStopBits)
{
    const struct {
        uint32_t rate;
        BYTE data_bits;
        BYTE parity;
        BYTE stop_bits;
        uint64_t nanoseconds;
    } cases[] = {
        {9600, 8, EVENPARITY, ONESTOPBIT, 1145833},   // 11 bits
        {9600, 8, NOPARITY, ONESTOPBIT, 1041667},     // 10 bits
        {9600, 8, NOPARITY, TWOSTOPBITS, 1145833},    // 11 bits
        {9600, 7, SPACEPARITY, TWOSTOPBITS, 1145833}, // 11 bits
        {115200, 8, NOPARITY, ONESTOPBIT, 86806},
        {300, 5, NOPARITY, ONESTOPBIT, 23333333},
        {4000000, 8, MARKPARITY, TWOSTOPBITS, 3000},
    };
    for (const auto &c : cases) {
        DCB dcb = record(RTS_CONTROL_TOGGLE, DTR_CONTROL_ENABLE);
        dcb.ByteSize = c.data_bits;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stop_bits;
        EXPECT_EQ(character_nanoseconds(&dcb, c.rate), c.nanoseconds)
            << c.rate << " " << int{c.data_bits} << " parity " << int{c.parity};
    }
}

} // namespace
