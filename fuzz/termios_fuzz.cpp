// Fuzz target: the POSIX layer's mapping of the device settings record onto
// termios and back, and its plan for the modem lines and the RS-485 mode. A
// record goes through SetCommState and back through GetCommState on a fake
// line: a termios record, a speed, modem lines and an RS-485 mode held in
// memory, on which the layer's own plan is carried out. The plan must fit
// the record and the driver, what the layer supports must come back as it
// was set, the line must be raw, every other termios setting must stay as the
// device had it, and a second round trip must change nothing.
//
// Input, over a typical case (missing bytes keep it):
//   0-27   the record given to SetCommState (a 9600 baud 8N1 port)
//   28     the device: bit 0 has modem lines, 1 its driver has an RS-485
//          mode, 2 DTR is on, 3 RTS is on, 4 the RS-485 mode is on, 5 the
//          driver reports when its transmitter is empty
//          (a serial port with DTR and RTS on)
//   29-88  the device's termios record before (a fresh terminal's)
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <string>

#include "fuzz_check.h"
#include "posix/dcb_termios.h"
#include "posix/line_plan.h"

std::string fuzz_case_description;

namespace {

const uint8_t HAS_MODEM_LINES = 1u << 0;
const uint8_t HAS_RS485_MODE = 1u << 1;
const uint8_t DTR_ON = 1u << 2;
const uint8_t RTS_ON = 1u << 3;
const uint8_t RS485_ON = 1u << 4;
const uint8_t REPORTS_TRANSMITTER_EMPTY = 1u << 5;

static_assert(sizeof(DCB) == 28, "the input layout assumes the 28-byte record");

struct fuzz_case {
    DCB record;
    uint8_t device;
    struct termios line_before;
};

// A device in memory, as the layer sees one through its system calls.
struct fake_line {
    struct termios line;
    uint32_t exact_speed; // set past termios (BOTHER); 0 while a B code rules
    driver_abilities driver;
    bool rs485_on;
    int modem_lines;           // TIOCM_DTR, TIOCM_RTS
    write_direction direction; // as the layer keeps it for its writes
};

// The termios speed codes and their rates, written apart from the layer's table.
const struct {
    speed_t code;
    uint32_t rate;
} speed_codes[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

uint32_t rate_of_code(speed_t code)
{
    for (const auto &entry : speed_codes) {
        if (entry.code == code)
            return entry.rate;
    }
    return 0;
}

bool rate_has_code(uint32_t rate)
{
    return std::any_of(std::begin(speed_codes), std::end(speed_codes),
                       [rate](const auto &entry) { return entry.rate == rate; });
}

uint32_t line_speed(const fake_line &device)
{
    return device.exact_speed != 0 ? device.exact_speed : rate_of_code(cfgetospeed(&device.line));
}

void set_line(fake_line *device, int line, bool on)
{
    device->modem_lines = on ? (device->modem_lines | line) : (device->modem_lines & ~line);
}

// What the plan must be for the record and the driver.
void check_plan(const DCB &dcb, const driver_abilities &driver, const line_plan &plan)
{
    const bool toggle = dcb.fRtsControl == RTS_CONTROL_TOGGLE;
    // The driver's RS-485 mode whenever it has one; by hand only where there
    // is an RTS to switch, waiting for the empty transmitter where the
    // driver reports it.
    FUZZ_CHECK((plan.direction == DIRECTION_KERNEL) == (toggle && driver.has_rs485_mode));
    const bool by_hand =
        plan.direction == DIRECTION_BY_HAND_TEMT || plan.direction == DIRECTION_BY_HAND_DRAIN;
    FUZZ_CHECK(by_hand == (toggle && !driver.has_rs485_mode && driver.has_modem_lines));
    if (by_hand)
        FUZZ_CHECK((plan.direction == DIRECTION_BY_HAND_TEMT) == driver.reports_transmitter_empty);

    FUZZ_CHECK(plan.sets_dtr == driver.has_modem_lines);
    FUZZ_CHECK(plan.dtr_on == (dcb.fDtrControl == DTR_CONTROL_ENABLE));

    // RTS is set only where there is one and neither the handshake nor the
    // driver drives it; toggled by hand it rests low, so the transceiver
    // listens between writes.
    rts_setting rts = RTS_LEFT_ALONE;
    if (driver.has_modem_lines && plan.direction != DIRECTION_KERNEL) {
        if (by_hand || dcb.fRtsControl == RTS_CONTROL_DISABLE)
            rts = RTS_LOW;
        else if (dcb.fRtsControl == RTS_CONTROL_ENABLE)
            rts = RTS_HIGH;
    }
    FUZZ_CHECK(plan.rts == rts);
}

// SetCommState on the fake line: the termios mapping, then the layer's plan
// for the modem lines and the RS-485 mode, carried out.
bool fake_set_comm_state(fake_line *device, const DCB *dcb)
{
    struct termios line = device->line;
    bool exact_speed_needed = false;
    if (!dcb_supported(dcb) || !termios_from_dcb(dcb, &line, &exact_speed_needed))
        return false;
    device->line = line;
    device->exact_speed = exact_speed_needed ? dcb->BaudRate : 0;

    const line_plan plan = plan_line(dcb, &device->driver);
    check_plan(*dcb, device->driver, plan);
    device->rs485_on = plan.direction == DIRECTION_KERNEL;
    if (plan.sets_dtr)
        set_line(device, TIOCM_DTR, plan.dtr_on);
    if (plan.rts != RTS_LEFT_ALONE)
        set_line(device, TIOCM_RTS, plan.rts == RTS_HIGH);
    device->direction = plan.direction;
    return line_took_settings(&line, dcb->BaudRate, &device->line, line_speed(*device),
                              device->driver.has_modem_lines);
}

// GetCommState's steps on the fake line.
void fake_get_comm_state(const fake_line &device, DCB *dcb)
{
    const int lines = device.driver.has_modem_lines ? device.modem_lines : TIOCM_DTR | TIOCM_RTS;
    const bool rts_toggles =
        !terminal_mode(&device.line) && (direction_by_hand(device.direction) || device.rs485_on);
    dcb_from_termios(&device.line, line_speed(device), lines, rts_toggles, dcb);
}

// The records the layer refuses, as its documentation lists them.
bool model_supported(const DCB &dcb)
{
    const bool xon_xoff = dcb.fOutX != 0 || dcb.fInX != 0;
    return dcb.BaudRate >= 1 && dcb.BaudRate <= 0x7FFFFFFF && dcb.ByteSize >= 5 &&
           dcb.ByteSize <= 8 && dcb.Parity <= SPACEPARITY &&
           (dcb.StopBits == ONESTOPBIT || dcb.StopBits == TWOSTOPBITS) && dcb.fOutxDsrFlow == 0 &&
           dcb.fDtrControl <= DTR_CONTROL_ENABLE && !(xon_xoff && dcb.XonChar == dcb.XoffChar);
}

fuzz_case typical_case(void)
{
    fuzz_case c;
    memset(&c, 0, sizeof c);
    c.record.DCBlength = sizeof(DCB);
    c.record.BaudRate = 9600;
    c.record.fBinary = 1;
    c.record.fDtrControl = DTR_CONTROL_ENABLE;
    c.record.fRtsControl = RTS_CONTROL_ENABLE;
    c.record.ByteSize = 8;
    c.record.Parity = NOPARITY;
    c.record.StopBits = ONESTOPBIT;
    c.record.XonChar = 0x11;
    c.record.XoffChar = 0x13;
    c.device = HAS_MODEM_LINES | DTR_ON | RTS_ON;
    struct termios &line = c.line_before;
    line.c_iflag = ICRNL | IXON;
    line.c_oflag = OPOST | ONLCR;
    line.c_cflag = CS8 | CREAD | HUPCL;
    line.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | IEXTEN;
    line.c_cc[VINTR] = 0x03;
    line.c_cc[VEOF] = 0x04;
    line.c_cc[VMIN] = 1;
    line.c_cc[VSTART] = 0x11;
    line.c_cc[VSTOP] = 0x13;
    cfsetispeed(&line, B38400);
    cfsetospeed(&line, B38400);
    return c;
}

fuzz_case decode_case(const uint8_t *data, size_t size)
{
    fuzz_case c = typical_case();
    uint8_t *const fields[] = {reinterpret_cast<uint8_t *>(&c.record), &c.device,
                               reinterpret_cast<uint8_t *>(&c.line_before)};
    const size_t sizes[] = {sizeof c.record, sizeof c.device, sizeof c.line_before};
    size_t at = 0;
    for (size_t i = 0; i < 3 && at < size; i++) {
        const size_t taken = std::min(sizes[i], size - at);
        memcpy(fields[i], data + at, taken);
        at += taken;
    }
    return c;
}

std::string describe(const fuzz_case &c)
{
    uint32_t flags; // the record's flag word, after BaudRate
    memcpy(&flags, reinterpret_cast<const uint8_t *>(&c.record) + 8, sizeof flags);
    char text[320];
    snprintf(text, sizeof text,
             "record: %u baud, %u data bits, parity %u, stop bits %u, flags 0x%08X, XON 0x%02X "
             "XOFF 0x%02X\ndevice 0x%02X, termios before: iflag 0x%X oflag 0x%X cflag 0x%X "
             "lflag 0x%X",
             c.record.BaudRate, c.record.ByteSize, c.record.Parity, c.record.StopBits, flags,
             static_cast<uint8_t>(c.record.XonChar), static_cast<uint8_t>(c.record.XoffChar),
             c.device, c.line_before.c_iflag, c.line_before.c_oflag, c.line_before.c_cflag,
             c.line_before.c_lflag);
    return text;
}

// Any termios reads as a record with framing the layer can name.
void check_read_of_any_line(const fake_line &device)
{
    DCB read;
    fake_get_comm_state(device, &read);
    FUZZ_CHECK(read.DCBlength == sizeof(DCB));
    FUZZ_CHECK(read.ByteSize >= 5 && read.ByteSize <= 8);
    FUZZ_CHECK(read.Parity <= SPACEPARITY);
    FUZZ_CHECK(read.StopBits == ONESTOPBIT || read.StopBits == TWOSTOPBITS);
    FUZZ_CHECK(read.fOutxDsrFlow == 0 && read.fDtrControl != DTR_CONTROL_HANDSHAKE);
}

// The line after SetCommState: raw, with what the record asked for, and
// everything else as the device had it.
void check_applied_line(const struct termios &before, const struct termios &after, const DCB &dcb)
{
    FUZZ_CHECK((after.c_lflag & (ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN | TOSTOP)) == 0);
    FUZZ_CHECK((after.c_oflag & OPOST) == 0);
    FUZZ_CHECK((after.c_iflag & (BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC |
                                 IXANY | IMAXBEL)) == 0);
    FUZZ_CHECK((after.c_iflag & IGNBRK) != 0);
    FUZZ_CHECK((after.c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD));
    FUZZ_CHECK(after.c_cc[VMIN] == 1 && after.c_cc[VTIME] == 0);
    FUZZ_CHECK(after.c_cc[VSTART] == static_cast<cc_t>(dcb.XonChar));
    FUZZ_CHECK(after.c_cc[VSTOP] == static_cast<cc_t>(dcb.XoffChar));
    FUZZ_CHECK(((after.c_iflag & IXON) != 0) == (dcb.fOutX != 0));
    FUZZ_CHECK(((after.c_iflag & IXOFF) != 0) == (dcb.fInX != 0));
    FUZZ_CHECK(cfgetispeed(&after) == cfgetospeed(&after));
    FUZZ_CHECK(rate_has_code(dcb.BaudRate) ? rate_of_code(cfgetospeed(&after)) == dcb.BaudRate
                                           : cfgetospeed(&after) == B38400);

    const tcflag_t cflag_set = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD |
                               CBAUDEX | CLOCAL | CREAD;
    FUZZ_CHECK((after.c_cflag & ~cflag_set) == (before.c_cflag & ~cflag_set));
    FUZZ_CHECK((after.c_oflag & ~static_cast<tcflag_t>(OPOST)) ==
               (before.c_oflag & ~static_cast<tcflag_t>(OPOST)));
    const tcflag_t lflag_set = ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN | TOSTOP;
    FUZZ_CHECK((after.c_lflag & ~lflag_set) == (before.c_lflag & ~lflag_set));
    FUZZ_CHECK(after.c_line == before.c_line);
    for (size_t i = 0; i < NCCS; i++) {
        if (i != VMIN && i != VTIME && i != VSTART && i != VSTOP)
            FUZZ_CHECK(after.c_cc[i] == before.c_cc[i]);
    }
}

// The record as GetCommState gives it back: what the layer supports as set,
// the rest of the record zero.
void check_record_back(const DCB &set, const DCB &back, const fake_line &device)
{
    FUZZ_CHECK(back.DCBlength == sizeof(DCB));
    FUZZ_CHECK(back.fBinary == 1);
    FUZZ_CHECK(back.BaudRate == set.BaudRate);
    FUZZ_CHECK(back.ByteSize == set.ByteSize);
    FUZZ_CHECK(back.Parity == set.Parity);
    FUZZ_CHECK(back.StopBits == set.StopBits);
    FUZZ_CHECK(back.fParity == (set.fParity != 0 && set.Parity != NOPARITY ? 1u : 0u));
    FUZZ_CHECK(back.fOutX == set.fOutX && back.fInX == set.fInX);
    FUZZ_CHECK(back.XonChar == set.XonChar && back.XoffChar == set.XoffChar);

    // termios has one flag for CTS and RTS handshake: either asks for both.
    const bool handshake = set.fOutxCtsFlow != 0 || set.fRtsControl == RTS_CONTROL_HANDSHAKE;
    FUZZ_CHECK(back.fOutxCtsFlow == (handshake ? 1u : 0u));
    // A line with neither modem lines nor an RS-485 mode reads as RTS "on".
    DWORD rts_back = device.driver.has_modem_lines ? set.fRtsControl : RTS_CONTROL_ENABLE;
    if (handshake)
        rts_back = RTS_CONTROL_HANDSHAKE;
    else if (set.fRtsControl == RTS_CONTROL_TOGGLE && device.driver.has_rs485_mode)
        rts_back = RTS_CONTROL_TOGGLE;
    FUZZ_CHECK(back.fRtsControl == rts_back);
    FUZZ_CHECK(back.fDtrControl ==
               (device.driver.has_modem_lines ? set.fDtrControl : DTR_CONTROL_ENABLE));

    FUZZ_CHECK(back.fOutxDsrFlow == 0 && back.fDsrSensitivity == 0 && back.fTXContinueOnXoff == 0 &&
               back.fErrorChar == 0 && back.fNull == 0 && back.fAbortOnError == 0 &&
               back.fDummy2 == 0);
    FUZZ_CHECK(back.wReserved == 0 && back.XonLim == 0 && back.XoffLim == 0 &&
               back.ErrorChar == 0 && back.EofChar == 0 && back.EvtChar == 0 &&
               back.wReserved1 == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz_case c = decode_case(data, size);
    fuzz_case_description = describe(c);

    fake_line device;
    device.line = c.line_before;
    device.exact_speed = 0;
    device.driver.has_modem_lines = (c.device & HAS_MODEM_LINES) != 0;
    device.driver.has_rs485_mode = (c.device & HAS_RS485_MODE) != 0;
    device.driver.reports_transmitter_empty = (c.device & REPORTS_TRANSMITTER_EMPTY) != 0;
    device.rs485_on = device.driver.has_rs485_mode && (c.device & RS485_ON) != 0;
    device.modem_lines = ((c.device & DTR_ON) != 0 ? TIOCM_DTR : 0) | ((c.device & RTS_ON) != 0 ? TIOCM_RTS : 0);
    device.direction = DIRECTION_NONE;
    check_read_of_any_line(device);

    FUZZ_CHECK(dcb_supported(&c.record) == model_supported(c.record));
    if (!dcb_supported(&c.record))
        return 0;

    DCB set = c.record;
    FUZZ_CHECK(fake_set_comm_state(&device, &set));
    // The layer never writes into the caller's record.
    FUZZ_CHECK(memcmp(&set, &c.record, sizeof set) == 0);
    check_applied_line(c.line_before, device.line, set);
    DCB back;
    fake_get_comm_state(device, &back);
    check_record_back(set, back, device);

    // A character is 7 to 12 bits long at every rate the layer takes, with
    // nothing lost to overflow at the fastest.
    const uint64_t rate = set.BaudRate;
    const uint64_t line_time = character_nanoseconds(&set, set.BaudRate) * rate;
    FUZZ_CHECK(line_time + rate >= 7000000000u && line_time <= 12000000000u + rate);

    // What came back is a record the layer takes, and taking it again
    // changes neither the line nor the record.
    const fake_line once = device;
    FUZZ_CHECK(fake_set_comm_state(&device, &back));
    FUZZ_CHECK(memcmp(&device.line, &once.line, sizeof device.line) == 0);
    FUZZ_CHECK(device.exact_speed == once.exact_speed);
    DCB again;
    fake_get_comm_state(device, &again);
    FUZZ_CHECK(memcmp(&again, &back, sizeof again) == 0);
    return 0;
}
