// kobrel: sends one frame of bytes to a device on a serial port and prints
// the bytes that come back.
//
//   kobrel <comport> <baudrate> <o|e|n> <data0> [<data1> <data2>...]
//
// Each data token is a decimal number, a hexadecimal number with a 0x prefix,
// or CRC1 / CRC2: the low / high byte of the CRC-16/MODBUS of the numeric
// bytes before it. A negative baud rate repeats the exchange ten times with a
// 1 ms reply window.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <array>

#include "comm_api.h"
#include "console.h"
#include "crc16.h"
#include "serial_port.h"

constexpr int32_t FRAME_CAPACITY = 104;
constexpr int FIRST_DATA_ARGUMENT = 4;
constexpr int32_t REPEAT_MODE_COUNT = 10;
constexpr int32_t NORMAL_REPLY_WINDOW_MS = 200;
constexpr int32_t REPEAT_REPLY_WINDOW_MS = 1;

// A 32-bit pattern read as a signed value, without relying on how the
// compiler converts out-of-range unsigned values.
static int32_t int32_from_bits(uint32_t bits)
{
    if (bits <= 0x7FFFFFFFu) {
        return static_cast<int32_t>(bits);
    }
    return static_cast<int32_t>(bits - 0x80000000u) - 0x7FFFFFFF - 1;
}

// White space and letters are ASCII only, whatever the locale says.
static bool is_ascii_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static char ascii_upper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

static bool equals_ignoring_case(const char *text, const char *upper_word)
{
    while (*text != '\0' && ascii_upper(*text) == *upper_word) {
        text++;
        upper_word++;
    }
    return *text == '\0' && *upper_word == '\0';
}

static int hex_digit_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Optional white space and sign, then digits up to the first other
// character, accumulated modulo 2^32 with no overflow check (so 4294967297
// is 1). A token without digits is 0.
static int32_t decimal_token_value(const char *token)
{
    const char *p = token;
    while (is_ascii_space(*p)) {
        p++;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        p++;
    }
    uint32_t value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10u + static_cast<uint32_t>(*p - '0');
        p++;
    }
    if (negative) {
        value = 0u - value;
    }
    return int32_from_bits(value);
}

// The token starts with 0x or 0X. Digits must follow the prefix at once;
// values from 0x80000000 up, however long, give 0x7FFFFFFF.
static int32_t hex_token_value(const char *token)
{
    uint32_t value = 0;
    bool too_large = false;
    int digit;
    for (const char *p = token + 2; (digit = hex_digit_value(*p)) >= 0; p++) {
        if (value >= 0x08000000u) {
            too_large = true; // one more digit reaches 0x80000000 or beyond
        } else {
            value = value * 16u + static_cast<uint32_t>(digit);
        }
    }
    return too_large ? 0x7FFFFFFF : static_cast<int32_t>(value);
}

// The value a data token puts into the frame. Numeric tokens are folded into
// the running checksum; the placeholders only read it.
static int32_t data_token_value(const char *token)
{
    if (equals_ignoring_case(token, "CRC1")) {
        return crc16_low_byte();
    }
    if (equals_ignoring_case(token, "CRC2")) {
        return crc16_high_byte();
    }
    int32_t value;
    if (token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
        value = hex_token_value(token);
    } else {
        value = decimal_token_value(token);
    }
    crc16_add(value);
    return value;
}

// Values outside 0..255 print whole (256 as 0x100, -1 as 0xFFFFFFFF).
static void print_byte_echo(int32_t value)
{
    printf("0x%02X, ", static_cast<unsigned int>(static_cast<uint32_t>(value)));
}

constexpr size_t REPLY_ECHO_LENGTH = 6; // "0x%02X, " of a byte value

// The echo texts of the 256 byte values, made at compile time.
static constexpr std::array<std::array<char, REPLY_ECHO_LENGTH>, 256> make_reply_echo_texts()
{
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<std::array<char, REPLY_ECHO_LENGTH>, 256> texts{};
    for (size_t value = 0; value < 256; value++) {
        texts[value] = {'0', 'x', digits[value >> 4], digits[value & 0xF], ',', ' '};
    }
    return texts;
}

static constexpr std::array<std::array<char, REPLY_ECHO_LENGTH>, 256> reply_echo_texts =
    make_reply_echo_texts();

// A reply byte prints exactly as print_byte_echo prints it. A long reply
// spends most of its time printing, and copying a ready text costs a fraction
// of formatting it anew for every byte.
static void print_reply_byte(int byte)
{
    fwrite(reply_echo_texts[static_cast<size_t>(byte)].data(), 1, REPLY_ECHO_LENGTH, stdout);
}

// Prints every byte the device sends until one whole window passes without a
// new one. The unsigned difference stays right when the tick counter wraps.
static void capture_reply(int32_t window_ms)
{
    const uint32_t window = static_cast<uint32_t>(window_ms);
    uint32_t window_start = static_cast<uint32_t>(GetTickCount());
    while (static_cast<uint32_t>(GetTickCount()) - window_start < window) {
        const int byte = port_poll_byte();
        if (byte >= 0) {
            print_reply_byte(byte);
            window_start = static_cast<uint32_t>(GetTickCount());
        }
    }
}

// Builds the frame while echoing it, sends it and captures the reply.
// Returns 0, or 1 when the send failed (the port is then closed).
static int run_exchange(int32_t port_number, int32_t reply_window_ms, int token_count,
                        char *tokens[])
{
    uint8_t frame[FRAME_CAPACITY];
    int32_t frame_length = 0;

    crc16_reset();
    for (int i = 0; i < token_count; i++) {
        const int32_t value = data_token_value(tokens[i]);
        print_byte_echo(value);
        frame[frame_length] = static_cast<uint8_t>(static_cast<uint32_t>(value) & 0xFFu);
        frame_length++;
    }

    if (port_send(frame, frame_length) != 0) {
        printf("\r\n**Error writing to COM%d\r\n", port_number);
        port_close();
        return 1;
    }

    printf("\r\n");
    printf("Waiting for data (timeout of %d ms):\r\n", reply_window_ms);
    capture_reply(reply_window_ms);
    printf("\r\n");
    return 0;
}

int main(int argc, char *argv[])
{
    console_setup();

    if (argc < FIRST_DATA_ARGUMENT) {
        printf("Usage kobrel <comport> <baudrate> <o|e|n> <data0> [<data1> <data2>...]");
        return 1;
    }
    const int token_count = argc - FIRST_DATA_ARGUMENT;
    if (token_count > FRAME_CAPACITY) {
        printf("Too many data bytes: %d (at most 104)\r\n", token_count);
        return 1;
    }

    const int32_t port_number = decimal_token_value(argv[1]);
    int32_t baud_rate = decimal_token_value(argv[2]);
    int32_t repeat_count = 1;
    if (baud_rate < 0) {
        repeat_count = REPEAT_MODE_COUNT;
        // Negated in unsigned arithmetic: -2147483648 becomes the bit pattern
        // of 2147483648, which the port passes on unchanged.
        baud_rate = int32_from_bits(0u - static_cast<uint32_t>(baud_rate));
    }
    port_baud_rate = baud_rate;
    port_parity_letter = argv[3][0];

    if (port_open(port_number) != 0) {
        return 10;
    }

    printf("Sending data:\r\n");
    const int32_t reply_window_ms =
        repeat_count > 1 ? REPEAT_REPLY_WINDOW_MS : NORMAL_REPLY_WINDOW_MS;
    for (int32_t exchange = 0; exchange < repeat_count; exchange++) {
        if (run_exchange(port_number, reply_window_ms, token_count,
                         argv + FIRST_DATA_ARGUMENT) != 0) {
            return 1;
        }
    }

    port_close();
    return 0;
}
