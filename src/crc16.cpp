#include "crc16.h"

uint16_t crc16_running;

// Entry i is the register after shifting the value i through eight steps of
// the reflected polynomial.
static constexpr std::array<uint16_t, 256> crc16_build_table(void)
{
    std::array<uint16_t, 256> table{};
    for (unsigned int index = 0; index < 256; index++) {
        unsigned int entry = index;
        for (int bit = 0; bit < 8; bit++) {
            entry = (entry & 1u) ? (entry >> 1) ^ 0xA001u : entry >> 1;
        }
        table[index] = static_cast<uint16_t>(entry);
    }
    return table;
}

// Built by the compiler: the table is in the program, with nothing to run at start.
constexpr std::array<uint16_t, 256> crc16_table = crc16_build_table();

void crc16_reset(void)
{
    crc16_running = 0xFFFF;
}

void crc16_add(int32_t value)
{
    const unsigned int byte = static_cast<uint32_t>(value) & 0xFFu;
    const unsigned int index = (byte ^ crc16_running) & 0xFFu;
    // The register is unsigned, so the shift brings in zeros from the top.
    crc16_running = static_cast<uint16_t>(crc16_table[index] ^ (crc16_running >> 8));
}

uint8_t crc16_low_byte(void)
{
    return static_cast<uint8_t>(crc16_running & 0xFFu);
}

uint8_t crc16_high_byte(void)
{
    return static_cast<uint8_t>(crc16_running >> 8);
}
