#include "posix/line_plan.h"

line_plan plan_line(const DCB *dcb, const driver_abilities *driver)
{
    line_plan plan = {};
    plan.sets_dtr = driver->has_modem_lines;
    plan.dtr_on = dcb->fDtrControl == DTR_CONTROL_ENABLE;

    plan.direction = DIRECTION_NONE;
    if (dcb->fRtsControl == RTS_CONTROL_TOGGLE) {
        // The driver's RS-485 mode switches RTS at the last stop bit; by hand
        // is the fallback, and needs an RTS line to switch.
        if (driver->has_rs485_mode)
            plan.direction = DIRECTION_KERNEL;
        else if (driver->has_modem_lines)
            plan.direction = driver->reports_transmitter_empty ? DIRECTION_BY_HAND_TEMT
                                                               : DIRECTION_BY_HAND_DRAIN;
    }

    plan.rts = RTS_LEFT_ALONE;
    if (!driver->has_modem_lines || plan.direction == DIRECTION_KERNEL)
        return plan;
    if (plan.direction != DIRECTION_NONE || dcb->fRtsControl == RTS_CONTROL_DISABLE)
        plan.rts = RTS_LOW; // toggled by hand: the transceiver listens between writes
    else if (dcb->fRtsControl == RTS_CONTROL_ENABLE)
        plan.rts = RTS_HIGH;
    return plan;
}

uint64_t character_nanoseconds(const DCB *dcb, uint32_t rate)
{
    uint64_t bits = 1u + dcb->ByteSize + (dcb->Parity != NOPARITY ? 1u : 0u) +
                    (dcb->StopBits == TWOSTOPBITS ? 2u : 1u);
    return (bits * 1000000000u + rate / 2) / rate;
}
