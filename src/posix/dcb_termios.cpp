#include "posix/dcb_termios.h"

#include <string.h>
#include <sys/ioctl.h>

namespace {

const struct {
    DWORD bits_per_second;
    speed_t code;
} standard_speeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool standard_speed_code(DWORD bits_per_second, speed_t *code)
{
    for (const auto &entry : standard_speeds) {
        if (entry.bits_per_second == bits_per_second) {
            *code = entry.code;
            return true;
        }
    }
    return false;
}

tcflag_t data_bits_flag(BYTE byte_size)
{
    switch (byte_size) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

BYTE data_bits_of(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

tcflag_t parity_flags(BYTE parity)
{
    switch (parity) {
    case ODDPARITY: return PARENB | PARODD;
    case EVENPARITY: return PARENB;
    case MARKPARITY: return PARENB | PARODD | CMSPAR;
    case SPACEPARITY: return PARENB | CMSPAR;
    default: return 0;
    }
}

BYTE parity_of(tcflag_t cflag)
{
    if ((cflag & PARENB) == 0)
        return NOPARITY;
    if ((cflag & CMSPAR) != 0)
        return (cflag & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
    return (cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
}

const tcflag_t parity_mask = PARENB | PARODD | CMSPAR;

// The bytes travel untouched in both directions: no echo, no signals, no
// CR/LF rewriting, no stripping of the eighth bit, breaks not read as NUL.
void make_raw(struct termios *line)
{
    line->c_iflag &= ~(tcflag_t)(BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                 IUCLC | IXON | IXOFF | IXANY | IMAXBEL | INPCK);
    line->c_iflag |= IGNBRK;
    line->c_oflag &= ~(tcflag_t)OPOST;
    line->c_lflag &= ~(tcflag_t)(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP);
    line->c_cflag |= CLOCAL | CREAD;
    line->c_cc[VMIN] = 1;
    line->c_cc[VTIME] = 0;
}

bool speed_matches(uint32_t actual, uint32_t wanted)
{
    // A UART runs at the nearest rate its clock divides to; within 3% the
    // line still works, as on Windows.
    uint64_t difference = actual > wanted ? actual - wanted : wanted - actual;
    return difference * 100 <= (uint64_t)wanted * 3;
}

} // namespace

bool dcb_supported(const DCB *dcb)
{
    // Speed 0 would hang up the line, and speeds beyond 31 bits are no
    // line's; both are refused like a rate the device cannot take.
    if (dcb->BaudRate == 0 || dcb->BaudRate > 0x7FFFFFFFu)
        return false;
    if (dcb->ByteSize < 5 || dcb->ByteSize > 8)
        return false;
    if (dcb->Parity > SPACEPARITY)
        return false;
    if (dcb->StopBits != ONESTOPBIT && dcb->StopBits != TWOSTOPBITS)
        return false;
    // termios has no DSR flow control and no DTR handshake; the field's
    // fourth value names nothing, and Windows refuses it too.
    if (dcb->fOutxDsrFlow ||
        (dcb->fDtrControl != DTR_CONTROL_DISABLE && dcb->fDtrControl != DTR_CONTROL_ENABLE))
        return false;
    if ((dcb->fOutX || dcb->fInX) && dcb->XonChar == dcb->XoffChar)
        return false;
    return true;
}

bool termios_from_dcb(const DCB *dcb, struct termios *line, bool *exact_speed_needed)
{
    make_raw(line);
    line->c_cflag &= ~(tcflag_t)(CSIZE | parity_mask | CSTOPB | CRTSCTS);
    line->c_cflag |= data_bits_flag(dcb->ByteSize) | parity_flags(dcb->Parity);
    if (dcb->StopBits == TWOSTOPBITS)
        line->c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE)
        line->c_cflag |= CRTSCTS;
    if (dcb->fParity && dcb->Parity != NOPARITY)
        line->c_iflag |= INPCK;
    if (dcb->fOutX)
        line->c_iflag |= IXON;
    if (dcb->fInX)
        line->c_iflag |= IXOFF;
    line->c_cc[VSTART] = (cc_t)dcb->XonChar;
    line->c_cc[VSTOP] = (cc_t)dcb->XoffChar;

    speed_t code;
    *exact_speed_needed = !standard_speed_code(dcb->BaudRate, &code);
    if (*exact_speed_needed)
        code = B38400; // replaced by the exact rate right after
    return cfsetispeed(line, code) == 0 && cfsetospeed(line, code) == 0;
}

void termios_without_parity(struct termios *line)
{
    line->c_cflag &= ~parity_mask;
    line->c_iflag &= ~(tcflag_t)INPCK;
}

bool terminal_mode(const struct termios *line)
{
    return (line->c_lflag & ICANON) != 0;
}

void dcb_from_termios(const struct termios *line, uint32_t speed, int modem_lines, bool rts_toggles,
                      DCB *dcb)
{
    memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    dcb->BaudRate = speed;
    dcb->fBinary = 1;
    dcb->ByteSize = data_bits_of(line->c_cflag);
    dcb->Parity = parity_of(line->c_cflag);
    dcb->StopBits = (line->c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;

    if (terminal_mode(line)) {
        // Still a terminal, never set up as a serial line: its XON/XOFF and
        // CR/LF handling are a login's, not the device's. Report what a COM
        // port starts with instead, so they are not carried into the raw line.
        dcb->fDtrControl = DTR_CONTROL_ENABLE;
        dcb->fRtsControl = RTS_CONTROL_ENABLE;
        dcb->XonChar = 0x11;
        dcb->XoffChar = 0x13;
        return;
    }

    dcb->fParity = (line->c_iflag & INPCK) != 0;
    dcb->fOutxCtsFlow = (line->c_cflag & CRTSCTS) != 0;
    dcb->fOutX = (line->c_iflag & IXON) != 0;
    dcb->fInX = (line->c_iflag & IXOFF) != 0;
    dcb->XonChar = (char)line->c_cc[VSTART];
    dcb->XoffChar = (char)line->c_cc[VSTOP];
    dcb->fDtrControl = (modem_lines & TIOCM_DTR) != 0 ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if ((line->c_cflag & CRTSCTS) != 0)
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (rts_toggles)
        dcb->fRtsControl = RTS_CONTROL_TOGGLE;
    else
        dcb->fRtsControl = (modem_lines & TIOCM_RTS) != 0 ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
}

uint32_t programmed_rate(uint32_t reported, uint32_t divisor_base)
{
    if (divisor_base == 0 || reported == 0)
        return reported;
    // The nearest whole divisor; no divisor below 1, so a rate beyond the
    // base runs at the base.
    uint64_t divisor = ((uint64_t)divisor_base * 2 + reported) / ((uint64_t)reported * 2);
    if (divisor == 0)
        divisor = 1;
    return (uint32_t)(divisor_base / divisor);
}

bool line_took_settings(const struct termios *wanted, DWORD wanted_speed,
                        const struct termios *applied, uint32_t applied_speed,
                        bool parity_checked)
{
    tcflag_t checked = CSIZE | CSTOPB | CRTSCTS | (parity_checked ? parity_mask : 0);
    return speed_matches(applied_speed, wanted_speed) &&
           (applied->c_cflag & checked) == (wanted->c_cflag & checked) && !terminal_mode(applied);
}
