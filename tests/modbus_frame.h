// Frames as a Modbus RTU device expects them, checksummed by a plain bitwise
// CRC-16/MODBUS written apart from the tool's table.
#ifndef KOBREL_TESTS_MODBUS_FRAME_H
#define KOBREL_TESTS_MODBUS_FRAME_H

#include <vector>

inline std::vector<unsigned char> with_crc(std::vector<unsigned char> frame)
{
    unsigned crc = 0xFFFF;
    for (unsigned char byte : frame) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    frame.push_back((unsigned char)(crc & 0xFF));
    frame.push_back((unsigned char)(crc >> 8));
    return frame;
}

#endif
