// Fuzz target: a whole run of the tool, from its argument vector to its exit
// status, over the scripted fake of the communications API. Every run is
// checked against a deliberately plain model of the tool written here, apart
// from the tool's code: token conversion digit by digit, the CRC bit by bit,
// and the exact texts. The bytes sent must be the model's frame, the exit
// status 0, 1 or 10, and the output nothing but the tool's own texts.
//
// Input: one byte N, then N bytes of device script, then the arguments that
// follow the program's name, separated by NUL bytes (an input that ends
// after the script has no arguments). Device script, missing bytes are 0
// except where said:
//   0      calls that fail: bit 0 CreateFileA, 1 SetupComm, 2 GetCommState,
//          3 SetCommState, 4 ClearCommError, 5 ReadFile, 6 ReadFile reads
//          nothing but succeeds
//   1      the WriteFile call, counted from 1, that reports what bytes 2 and
//          3 say instead of writing everything; 0 for none
//   2, 3   that call's result (0 fails, else succeeds) and count written
//   4      the tick counter's step per GetTickCount, minus 1
//   5-8    the tick counter at the start, little-endian
//   9-36   the settings record the device reports, over the first bytes of
//          a typical COM port's record (missing bytes keep those)
//   37-    reply bytes, two script bytes each: the value, and the ticks since
//          the previous byte arrived (the first: since the start)
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_comm.h"
#include "fuzz_check.h"

// The tool's entry point, renamed for the fuzz build.
int kobrel_main(int argc, char *argv[]);

std::string fuzz_case_description;

namespace {

const size_t SCRIPT_RECORD_AT = 9;
const size_t SCRIPT_REPLIES_AT = SCRIPT_RECORD_AT + sizeof(DCB);
static_assert(sizeof(DCB) == 28, "the script's layout assumes the 28-byte record");

struct device_script {
    uint8_t failing_calls;
    int odd_write_number;
    BOOL odd_write_result;
    DWORD odd_write_count;
    DWORD tick_step;
    DWORD clock_start;
    DCB reported_settings;
    std::vector<FakeReplyByte> replies;
};

struct fuzz_case {
    device_script device;
    std::vector<std::string> arguments; // after the program's name
};

// The settings record of the fake's typical COM port.
DCB typical_settings(void)
{
    fake_comm_reset();
    return fake_comm.device_settings;
}

uint8_t script_byte(const std::vector<uint8_t> &script, size_t at)
{
    return at < script.size() ? script[at] : 0;
}

fuzz_case decode_case(const uint8_t *data, size_t size)
{
    fuzz_case decoded;
    const size_t script_size = size > 0 ? std::min<size_t>(data[0], size - 1) : 0;
    const size_t arguments_at = size > 0 ? 1 + script_size : 0;
    const std::vector<uint8_t> script(data + arguments_at - script_size, data + arguments_at);
    device_script &device = decoded.device;
    device.failing_calls = script_byte(script, 0);
    device.odd_write_number = script_byte(script, 1);
    device.odd_write_result = script_byte(script, 2) != 0 ? TRUE : FALSE;
    device.odd_write_count = script_byte(script, 3);
    device.tick_step = static_cast<DWORD>(script_byte(script, 4)) + 1u;
    device.clock_start = 0;
    for (size_t i = 0; i < 4; i++)
        device.clock_start |= static_cast<DWORD>(script_byte(script, 5 + i)) << (8 * i);
    device.reported_settings = typical_settings();
    if (script.size() > SCRIPT_RECORD_AT) {
        memcpy(&device.reported_settings, script.data() + SCRIPT_RECORD_AT,
               std::min(script.size() - SCRIPT_RECORD_AT, sizeof(DCB)));
    }
    DWORD arrival = device.clock_start;
    for (size_t at = SCRIPT_REPLIES_AT; at + 1 < script.size(); at += 2) {
        arrival += script[at + 1];
        device.replies.push_back({script[at], arrival});
    }

    if (arguments_at < size) {
        std::string argument;
        for (size_t at = arguments_at; at < size; at++) {
            if (data[at] == 0) {
                decoded.arguments.push_back(argument);
                argument.clear();
            } else {
                argument += static_cast<char>(data[at]);
            }
        }
        decoded.arguments.push_back(argument);
    }
    return decoded;
}

bool fails(const fuzz_case &c, int call_bit)
{
    return (c.device.failing_calls & (1u << call_bit)) != 0;
}

void script_fake(const fuzz_case &c)
{
    fake_comm_reset();
    fake_comm.create_fails = fails(c, 0);
    fake_comm.setup_fails = fails(c, 1);
    fake_comm.get_state_fails = fails(c, 2);
    fake_comm.set_state_fails = fails(c, 3);
    fake_comm.clear_error_fails = fails(c, 4);
    fake_comm.read_fails = fails(c, 5);
    fake_comm.read_gets_nothing = fails(c, 6);
    if (c.device.odd_write_number != 0) {
        fake_comm.write_results[c.device.odd_write_number] = {c.device.odd_write_result,
                                                              c.device.odd_write_count};
    }
    fake_comm.clock = c.device.clock_start;
    fake_comm.tick_step = c.device.tick_step;
    fake_comm.device_settings = c.device.reported_settings;
    fake_comm.replies = c.device.replies;
}

std::string printable(const std::string &text)
{
    std::string shown;
    for (const char character : text) {
        const auto c = static_cast<unsigned char>(character);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            shown += character;
        } else {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02X", c);
            shown += escape;
        }
    }
    return shown;
}

std::string describe(const fuzz_case &c)
{
    std::string text = "arguments:";
    for (const std::string &argument : c.arguments)
        text += " \"" + printable(argument) + "\"";
    char device[160];
    snprintf(device, sizeof device,
             "\ndevice: failing calls 0x%02X, write %d reports %d/%u, tick step %u from %u, %zu "
             "reply bytes",
             c.device.failing_calls, c.device.odd_write_number, c.device.odd_write_result,
             c.device.odd_write_count, c.device.tick_step, c.device.clock_start,
             c.device.replies.size());
    return text + device;
}

// --- The model: the tool's rules, written as plainly as possible. ---

bool is_white_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A decimal token as the 32 bits of its value, wrapping modulo 2^32.
uint32_t model_decimal(const std::string &token)
{
    size_t at = 0;
    while (at < token.size() && is_white_space(token[at]))
        at++;
    bool negative = false;
    if (at < token.size() && (token[at] == '+' || token[at] == '-')) {
        negative = token[at] == '-';
        at++;
    }
    uint64_t value = 0;
    while (at < token.size() && token[at] >= '0' && token[at] <= '9') {
        value = (value * 10 + static_cast<uint64_t>(token[at] - '0')) % 0x100000000u;
        at++;
    }
    if (negative)
        value = (0x100000000u - value) % 0x100000000u;
    return static_cast<uint32_t>(value);
}

int hex_digit(char c)
{
    const char *digits = "0123456789abcdef";
    const char lower = (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
    for (int i = 0; i < 16; i++) {
        if (digits[i] == lower)
            return i;
    }
    return -1;
}

// A token that starts with 0x or 0X: the digits right after the prefix, or
// 0x7FFFFFFF for any value of 0x80000000 and more.
uint32_t model_hex(const std::string &token)
{
    uint64_t value = 0;
    for (size_t at = 2; at < token.size() && hex_digit(token[at]) >= 0; at++) {
        value = value * 16 + static_cast<uint64_t>(hex_digit(token[at]));
        if (value > 0x7FFFFFFF)
            value = 0x80000000; // stays too large whatever follows
    }
    return value > 0x7FFFFFFF ? 0x7FFFFFFFu : static_cast<uint32_t>(value);
}

bool is_placeholder(const std::string &token, char digit)
{
    if (token.size() != 4 || token[3] != digit)
        return false;
    const char *upper = "CRC";
    for (size_t i = 0; i < 3; i++) {
        const char c = token[i];
        if (c != upper[i] && c != upper[i] - 'A' + 'a')
            return false;
    }
    return true;
}

uint16_t model_crc_step(uint16_t crc, uint8_t byte)
{
    crc = static_cast<uint16_t>(crc ^ byte);
    for (int bit = 0; bit < 8; bit++) {
        if ((crc & 1u) != 0)
            crc = static_cast<uint16_t>((crc >> 1) ^ 0xA001u);
        else
            crc = static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

std::string hex_echo(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%02X, ", value);
    return text;
}

struct model_frame {
    std::vector<uint8_t> bytes;
    std::string echo;
};

model_frame model_frame_of(const std::vector<std::string> &tokens)
{
    model_frame frame;
    uint16_t crc = 0xFFFF;
    for (const std::string &token : tokens) {
        uint32_t value;
        if (is_placeholder(token, '1')) {
            value = crc & 0xFFu;
        } else if (is_placeholder(token, '2')) {
            value = crc >> 8;
        } else {
            const bool hex = token.size() >= 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
            value = hex ? model_hex(token) : model_decimal(token);
            crc = model_crc_step(crc, static_cast<uint8_t>(value & 0xFFu));
        }
        frame.bytes.push_back(static_cast<uint8_t>(value & 0xFFu));
        frame.echo += hex_echo(value);
    }
    return frame;
}

int64_t as_signed(uint32_t bits)
{
    return bits < 0x80000000u ? static_cast<int64_t>(bits) : static_cast<int64_t>(bits) - 0x100000000;
}

// --- Checking the output, piece by piece. ---

struct output_reader {
    const std::string *text;
    size_t at;
};

void expect_text(output_reader &reader, const std::string &expected)
{
    if (reader.text->compare(reader.at, expected.size(), expected) != 0) {
        fuzz_case_description += "\nexpected at output offset " + std::to_string(reader.at) +
                                 ": " + printable(expected);
    }
    FUZZ_CHECK(reader.text->compare(reader.at, expected.size(), expected) == 0);
    reader.at += expected.size();
}

void expect_end(const output_reader &reader)
{
    FUZZ_CHECK(reader.at == reader.text->size());
}

// Reply echoes: "0x" and exactly two upper-case hexadecimal digits, ", ".
std::vector<uint8_t> take_reply_echoes(output_reader &reader)
{
    std::vector<uint8_t> bytes;
    const std::string &text = *reader.text;
    while (text.compare(reader.at, 2, "0x") == 0) {
        FUZZ_CHECK(reader.at + 6 <= text.size());
        const char high = text[reader.at + 2];
        const char low = text[reader.at + 3];
        FUZZ_CHECK(hex_digit(high) >= 0 && !(high >= 'a' && high <= 'f'));
        FUZZ_CHECK(hex_digit(low) >= 0 && !(low >= 'a' && low <= 'f'));
        FUZZ_CHECK(text.compare(reader.at + 4, 2, ", ") == 0);
        bytes.push_back(static_cast<uint8_t>(hex_digit(high) * 16 + hex_digit(low)));
        reader.at += 6;
    }
    return bytes;
}

std::string formatted(const char *format, int64_t value)
{
    char text[128];
    snprintf(text, sizeof text, format, static_cast<long long>(value));
    return text;
}

// The record the port must have written: what the device reported, with
// only speed, parity, data bits, stop bits and RTS control changed.
DCB model_settings(const DCB &reported, uint32_t baud_bits, char parity_letter)
{
    DCB expected = reported;
    expected.BaudRate = baud_bits;
    if (parity_letter == 'e' || parity_letter == 'E')
        expected.Parity = EVENPARITY;
    if (parity_letter == 'o' || parity_letter == 'O')
        expected.Parity = ODDPARITY;
    if (parity_letter == 'n' || parity_letter == 'N')
        expected.Parity = NOPARITY;
    expected.StopBits = ONESTOPBIT;
    expected.ByteSize = 8;
    expected.fRtsControl = RTS_CONTROL_TOGGLE;
    return expected;
}

void check_ended_before_the_port(int status, int expected_status)
{
    FUZZ_CHECK(status == expected_status);
    FUZZ_CHECK(fake_comm.writes.empty());
    FUZZ_CHECK(fake_comm.close_calls == 0);
}

void check_run(const fuzz_case &c, int status, const std::string &output)
{
    FUZZ_CHECK(status == 0 || status == 1 || status == 10);
    output_reader reader = {&output, 0};
    const std::vector<std::string> &arguments = c.arguments;

    if (arguments.size() < 3) {
        expect_text(reader, "Usage kobrel <comport> <baudrate> <o|e|n> <data0> [<data1> <data2>...]");
        expect_end(reader);
        FUZZ_CHECK(fake_comm.create_calls == 0);
        check_ended_before_the_port(status, 1);
        return;
    }
    const std::vector<std::string> tokens(arguments.begin() + 3, arguments.end());
    if (tokens.size() > 104) {
        expect_text(reader, formatted("Too many data bytes: %lld (at most 104)\r\n",
                                      static_cast<int64_t>(tokens.size())));
        expect_end(reader);
        FUZZ_CHECK(fake_comm.create_calls == 0);
        check_ended_before_the_port(status, 1);
        return;
    }

    const int64_t port_number = as_signed(model_decimal(arguments[0]));
    const uint32_t baud_argument = model_decimal(arguments[1]);
    const bool repeat_mode = as_signed(baud_argument) < 0;
    const uint32_t baud_bits = repeat_mode ? 0u - baud_argument : baud_argument;
    const int exchanges = repeat_mode ? 10 : 1;
    const int window_ms = repeat_mode ? 1 : 200;

    if (port_number > 256) {
        expect_text(reader, "Invalid port number\n");
        expect_end(reader);
        FUZZ_CHECK(fake_comm.create_calls == 0);
        check_ended_before_the_port(status, 10);
        return;
    }
    const std::string device_name = formatted("\\\\.\\COM%lld", port_number);
    expect_text(reader, "Opening port '" + device_name + "'\n");
    FUZZ_CHECK(fake_comm.opened_name == device_name);
    const struct {
        bool FakeComm::*failing_call;
        const char *message;
    } open_steps[] = {
        {&FakeComm::create_fails, "Error opening port\n"},
        {&FakeComm::setup_fails, "Error opening port (buffer setup)\n"},
        {&FakeComm::get_state_fails, "Error opening port (DCB Get)\n"},
        {&FakeComm::set_state_fails, "Error setting port parameters (SetCommState)\n"},
    };
    for (const auto &step : open_steps) {
        if (step.failing_call == &FakeComm::set_state_fails) {
            // Reached only with the record read: check what was written.
            FUZZ_CHECK(fake_comm.set_state_calls == 1);
            const DCB expected =
                model_settings(c.device.reported_settings, baud_bits, arguments[2][0]);
            FUZZ_CHECK(memcmp(&fake_comm.written_settings, &expected, sizeof expected) == 0);
        }
        if (fake_comm.*step.failing_call) {
            expect_text(reader, step.message);
            expect_end(reader);
            check_ended_before_the_port(status, 10);
            return;
        }
    }

    expect_text(reader, "Sending data:\r\n");
    const model_frame frame = model_frame_of(tokens);
    std::vector<uint8_t> replies_shown;
    for (int exchange = 0; exchange < exchanges; exchange++) {
        expect_text(reader, frame.echo);
        FUZZ_CHECK(fake_comm.writes.size() > static_cast<size_t>(exchange));
        FUZZ_CHECK(fake_comm.writes[static_cast<size_t>(exchange)] == frame.bytes);
        const bool odd_write = c.device.odd_write_number == exchange + 1;
        if (odd_write && (c.device.odd_write_result == FALSE ||
                          c.device.odd_write_count != frame.bytes.size())) {
            expect_text(reader, formatted("\r\n**Error writing to COM%lld\r\n", port_number));
            expect_end(reader);
            FUZZ_CHECK(status == 1);
            FUZZ_CHECK(fake_comm.writes.size() == static_cast<size_t>(exchange) + 1);
            FUZZ_CHECK(fake_comm.close_calls == 1);
            return;
        }
        expect_text(reader, formatted("\r\nWaiting for data (timeout of %lld ms):\r\n", window_ms));
        const std::vector<uint8_t> shown = take_reply_echoes(reader);
        replies_shown.insert(replies_shown.end(), shown.begin(), shown.end());
        expect_text(reader, "\r\n");
    }
    expect_end(reader);
    FUZZ_CHECK(status == 0);
    FUZZ_CHECK(fake_comm.writes.size() == static_cast<size_t>(exchanges));
    FUZZ_CHECK(fake_comm.close_calls == 1);

    // What was shown is what the device sent, in order, from the first byte;
    // a port whose polls fail shows nothing.
    if (fake_comm.clear_error_fails || fake_comm.read_fails || fake_comm.read_gets_nothing) {
        FUZZ_CHECK(replies_shown.empty());
    }
    FUZZ_CHECK(replies_shown.size() <= c.device.replies.size());
    FUZZ_CHECK(replies_shown.size() == fake_comm.replies_read);
    for (size_t i = 0; i < replies_shown.size(); i++)
        FUZZ_CHECK(replies_shown[i] == c.device.replies[i].value);
}

// Runs the entry point with its standard output collected in memory.
int run_tool(const std::vector<std::string> &arguments, std::string *output)
{
    std::vector<std::string> words = {"kobrel"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);

    char *buffer = nullptr;
    size_t size = 0;
    FILE *capture = open_memstream(&buffer, &size);
    if (capture == nullptr)
        abort();
    FILE *const saved_stdout = stdout;
    stdout = capture;
    const int status = kobrel_main(static_cast<int>(words.size()), argv.data());
    fflush(stdout);
    stdout = saved_stdout;
    fclose(capture);
    output->assign(buffer, size);
    free(buffer);
    return status;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz_case c = decode_case(data, size);
    fuzz_case_description = describe(c);
    script_fake(c);
    std::string output;
    const int status = run_tool(c.arguments, &output);
    fuzz_case_description += "\nstatus " + std::to_string(status) + ", output: " + printable(output);
    check_run(c, status, output);
    return 0;
}
