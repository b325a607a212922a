// The frame checksum: CRC-16/MODBUS (reflected polynomial 0xA001, initial
// value 0xFFFF, no final XOR), folded in one byte at a time.
#ifndef KOBREL_CRC16_H
#define KOBREL_CRC16_H

#include <stdint.h>

#include <array>

// The checksum register. Each exchange resets it before its first byte.
extern uint16_t crc16_running;

// Byte-wise lookup table of the reflected polynomial 0xA001.
extern const std::array<uint16_t, 256> crc16_table;

// Starts a new checksum: the register becomes 0xFFFF.
void crc16_reset(void);

// Folds the low 8 bits of value into the register; the other bits are ignored.
void crc16_add(int32_t value);

// The two bytes of the register as the frame carries them, low byte first.
uint8_t crc16_low_byte(void);
uint8_t crc16_high_byte(void);

#endif
