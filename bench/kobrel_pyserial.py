#!/usr/bin/python3
"""kobrel's job written the way one writes it with pyserial: the benchmark's peer.

Same command line, same frame (decimal and 0x tokens, CRC1/CRC2), same COM port
lookup, same output bytes, and the same rule for the reply: print every byte
until the line has been silent for 200 ms (1 ms in repeat mode). It reads what
is waiting in one call and blocks on one byte with the window as time-out,
which is how pyserial is meant to be used. RTS toggling is left out: the
benchmark's pseudo-terminals have no RTS.
"""
import os
import sys

import serial

USAGE = b"Usage kobrel <comport> <baudrate> <o|e|n> <data0> [<data1> <data2>...]"
ECHO = [b"0x%02X, " % value for value in range(256)]


def crc16_add(crc, byte):
    crc ^= byte
    for _ in range(8):
        crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def decimal(token):
    text = token.lstrip(" \t\n\v\f\r")
    sign = -1 if text[:1] == "-" else 1
    text = text[1:] if text[:1] in "+-" else text
    digits = ""
    for char in text:
        if not "0" <= char <= "9":
            break
        digits += char
    value = (sign * int(digits or "0")) & 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


def hexadecimal(token):
    digits = ""
    for char in token[2:]:
        if char not in "0123456789abcdefABCDEF":
            break
        digits += char
    value = int(digits or "0", 16)
    return 0x7FFFFFFF if value >= 0x80000000 else value


def device_path(port):
    config_home = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.environ["HOME"], ".config")
    mapped = os.path.join(config_home, "kobrel", "ports", "com%d" % port)
    return mapped if os.path.lexists(mapped) else "/dev/ttyS%d" % (port - 1)


def main(argv):
    out = sys.stdout.buffer
    tty = out.isatty()

    def say(data):
        if tty:
            os.write(1, data)
        else:
            out.write(data)

    if len(argv) < 4:
        say(USAGE)
        return 1
    port = decimal(argv[1])
    baud = decimal(argv[2])
    parity = {"e": serial.PARITY_EVEN, "o": serial.PARITY_ODD, "n": serial.PARITY_NONE}.get(
        argv[3][:1].lower(), serial.PARITY_NONE)
    repeats = 10 if baud < 0 else 1
    window_ms = 1 if repeats > 1 else 200
    if port > 256:
        say(b"Invalid port number\r\n")
        return 10
    say(b"Opening port '\\\\.\\COM%d'\r\n" % port)
    try:
        line = serial.Serial(device_path(port), abs(baud), bytesize=8, parity=parity, stopbits=1,
                             timeout=window_ms / 1000, exclusive=True)
    except (serial.SerialException, ValueError, OSError):
        say(b"Error opening port\r\n")
        return 10
    say(b"Sending data:\r\r\n")
    for _ in range(repeats):
        crc = 0xFFFF
        frame = bytearray()
        for token in argv[4:]:
            if token.upper() == "CRC1":
                value = crc & 0xFF
            elif token.upper() == "CRC2":
                value = crc >> 8
            else:
                value = hexadecimal(token) if token[:2].lower() == "0x" else decimal(token)
                crc = crc16_add(crc, value & 0xFF)
            say(b"0x%02X, " % (value & 0xFFFFFFFF))
            frame.append(value & 0xFF)
        try:
            line.write(frame)
        except serial.SerialException:
            say(b"\r\n**Error writing to COM%d\r\n" % port)
            line.close()
            return 1
        say(b"\r\r\nWaiting for data (timeout of %d ms):\r\r\n" % window_ms)
        while True:
            reply = line.read(line.in_waiting or 1)
            if not reply:
                break
            say(b"".join(ECHO[value] for value in reply))
        say(b"\r\r\n")
    line.close()
    out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
