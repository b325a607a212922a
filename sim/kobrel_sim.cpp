// kobrel-sim: a simulated serial device to try kobrel on, and to test it.
//
// It opens a pseudo-terminal and links it as com<n> in kobrel's port folder,
// so that `kobrel <n> ...` talks to it. By default it answers as a Modbus RTU
// server (libmodbus does the protocol); options turn it into a scripted device
// for tests. One monitor line per frame shows both sides of the exchange.

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <modbus.h>

#include <string>
#include <vector>

#include "crc16.h"
#include "posix/port_folder.h"
#include "stream_pattern.h"

namespace {

using bytes = std::vector<unsigned char>;

const char help_text[] =
    "Usage: kobrel-sim [options] [<comport>]\n"
    "\n"
    "Serves a simulated device on a pseudo-terminal linked as com<comport> in\n"
    "${XDG_CONFIG_HOME:-$HOME/.config}/kobrel/ports/, so that `kobrel <comport> ...`\n"
    "talks to it. Without <comport> it takes the first free number from 1. It never\n"
    "replaces an existing link but one that a killed kobrel-sim left (its lock file,\n"
    "com<comport>.lock beside it, held by nobody), and removes its own when it ends.\n"
    "\n"
    "The device answers each frame as a Modbus RTU server (libmodbus), unless told\n"
    "otherwise. Its addresses 0-99 hold: coil n on when n is odd, discrete input n\n"
    "on when n is even, holding register n = 0x1000 + n, input register n = 0x2000 + n.\n"
    "A frame ends when the line has been silent for 3.5 characters (at least 1.75 ms).\n"
    "\n"
    "  --id <n>          Modbus server id, 1-247 (default 1)\n"
    "  --echo            answer each frame with its own bytes\n"
    "  --reply <hex>     answer each frame with these bytes, as given: \"01 03 02 00 2A\"\n"
    "                    (one or two hex digits each, separated by whitespace)\n"
    "  --stream <n>      answer each frame with n bytes, as fast as the line takes them;\n"
    "                    byte k is (k + k/256) mod 256\n"
    "  --silent          never answer\n"
    "  --delay <ms>      wait this long before answering\n"
    "  --byte-gap <ms>   wait this long between the bytes of an answer\n"
    "  --frames <k>      end after k frames, closing the line (to a program still\n"
    "                    using it, the device vanishes)\n"
    "  -h, --help        show this text\n"
    "\n"
    "Each frame prints one line: the bytes received, whether their CRC-16/MODBUS is\n"
    "good, and what the device did.\n";

enum answer_mode { ANSWER_MODBUS, ANSWER_ECHO, ANSWER_FIXED, ANSWER_STREAM, ANSWER_SILENT };

struct sim_options {
    int com_number = 0; // 0: the first free one
    int server_id = 1;
    answer_mode mode = ANSWER_MODBUS;
    bytes fixed_answer;
    size_t stream_length = 0;
    long delay_ms = 0;
    long byte_gap_ms = 0;
    long frame_limit = 0; // 0: serve until stopped
};

constexpr int MODBUS_TABLE_SIZE = 100;
constexpr size_t FRAME_LIMIT_BYTES = size_t{64} * 1024;
constexpr int STALLED_WRITE_MS = 2000; // nobody has read the line for this long

volatile sig_atomic_t stop_signal = 0;
std::string link_path;   // com<n> in the port folder, once we made it
std::string device_path; // the pseudo-terminal's slave side
// com<n>.lock beside the link: held while we serve, it tells a link of ours
// from one a killed simulator left behind.
std::string lock_path;
int lock_fd = -1;

modbus_t *modbus_context = nullptr;
modbus_mapping_t *modbus_tables = nullptr;
int modbus_feed = -1; // our end of the socket pair libmodbus reads from

void on_stop_signal(int signal_number)
{
    stop_signal = signal_number;
}

[[noreturn]] void fail(const std::string &message)
{
    if (errno != 0)
        fprintf(stderr, "kobrel-sim: %s: %s\n", message.c_str(), strerror(errno));
    else
        fprintf(stderr, "kobrel-sim: %s\n", message.c_str());
    exit(1);
}

// The target of a symbolic link; empty when path is none.
std::string link_target(const std::string &path)
{
    char target[PATH_MAX];
    ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

// Takes the lock file at path without waiting; create makes it when missing.
// A lock file its simulator removed while we opened it is no longer the one
// at path, so we open again.
bool take_lock(const std::string &path, bool create)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
        if (fd < 0) {
            if (create || errno != ENOENT)
                fail("cannot open the lock file " + path);
            return false;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            return false; // a live simulator holds it
        }
        struct stat opened;
        struct stat named;
        if (fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
            opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
            lock_fd = fd;
            lock_path = path;
            return true;
        }
        close(fd);
    }
    return false;
}

void release_lock(void)
{
    if (lock_fd < 0)
        return;
    unlink(lock_path.c_str()); // while we still hold it, so nobody takes a removed file
    close(lock_fd);
    lock_fd = -1;
    lock_path.clear();
}

// Removes our link, and only ours: a user may have put their own in its place.
void remove_link(void)
{
    if (!link_path.empty() && link_target(link_path) == device_path)
        unlink(link_path.c_str());
    link_path.clear();
    release_lock();
}

bool parse_number(const char *text, long low, long high, long *value)
{
    char *end = nullptr;
    errno = 0;
    long number = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < low || number > high)
        return false;
    *value = number;
    return true;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Bytes of one or two hex digits, separated by whitespace, as the help shows
// them; at least one. Nothing else: a typo must not become a different answer.
bool parse_hex_bytes(const char *text, bytes *out)
{
    const char *cursor = text;
    for (;;) {
        while (isspace(static_cast<unsigned char>(*cursor)))
            cursor++;
        if (*cursor == '\0')
            return !out->empty();
        int value = 0;
        int digits = 0;
        for (; hex_digit(*cursor) >= 0; cursor++, digits++) {
            if (digits < 2)
                value = value * 16 + hex_digit(*cursor);
        }
        bool separated = *cursor == '\0' || isspace(static_cast<unsigned char>(*cursor));
        if (digits == 0 || digits > 2 || !separated)
            return false;
        out->push_back(static_cast<unsigned char>(value));
    }
}

void usage_error(const char *message, const char *detail)
{
    fprintf(stderr, "kobrel-sim: ");
    fprintf(stderr, message, detail);
    fprintf(stderr, "\nTry 'kobrel-sim --help'.\n");
    exit(2);
}

sim_options parse_options(int argc, char **argv)
{
    sim_options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        long number = 0;
        if (option == "-h" || option == "--help") {
            fputs(help_text, stdout);
            exit(0);
        } else if (option == "--echo") {
            options.mode = ANSWER_ECHO;
        } else if (option == "--silent") {
            options.mode = ANSWER_SILENT;
        } else if (option == "--reply" || option == "--stream" || option == "--id" ||
                   option == "--delay" || option == "--byte-gap" || option == "--frames") {
            if (value == nullptr)
                usage_error("%s needs a value", option.c_str());
            ++i;
            if (option == "--reply") {
                options.fixed_answer.clear();
                if (!parse_hex_bytes(value, &options.fixed_answer))
                    usage_error("--reply takes hexadecimal bytes of one or two digits separated by "
                                "whitespace, such as \"01 03 02 00 2A\": \"%s\"",
                                value);
                options.mode = ANSWER_FIXED;
            } else if (option == "--stream") {
                if (!parse_number(value, 0, LONG_MAX, &number))
                    usage_error("--stream takes a byte count: %s", value);
                options.stream_length = static_cast<size_t>(number);
                options.mode = ANSWER_STREAM;
            } else if (option == "--id") {
                if (!parse_number(value, 1, 247, &number))
                    usage_error("--id takes a server id from 1 to 247: %s", value);
                options.server_id = static_cast<int>(number);
            } else if (!parse_number(value, option == "--frames" ? 1 : 0, 3600000, &number)) {
                usage_error(option == "--frames" ? "--frames takes a count from 1: %s"
                                                 : "--delay and --byte-gap take milliseconds: %s",
                            value);
            } else if (option == "--delay") {
                options.delay_ms = number;
            } else if (option == "--byte-gap") {
                options.byte_gap_ms = number;
            } else {
                options.frame_limit = number;
            }
        } else if (option[0] != '-' && options.com_number == 0) {
            if (!parse_number(option.c_str(), 1, 256, &number))
                usage_error("the COM port number is 1 to 256: %s", option.c_str());
            options.com_number = static_cast<int>(number);
        } else {
            usage_error("unexpected argument: %s", option.c_str());
        }
    }
    return options;
}

// The folder kobrel looks up COM numbers in, created when missing.
std::string port_folder(void)
{
    char folder[4096];
    if (!port_folder_make(folder, sizeof folder)) {
        if (errno == ENOENT) {
            errno = 0;
            fail("neither XDG_CONFIG_HOME nor HOME is set");
        }
        fail("cannot create the port folder");
    }
    return folder;
}

// Where kobrel looks for COM<number>, in the folder port_folder made.
std::string entry_path(int number)
{
    char path[4096];
    if (!port_entry_path(static_cast<uint32_t>(number), path, sizeof path))
        fail("the port folder's path is too long");
    return path;
}

// Replaces a link that a simulator made and left when it was killed: it
// leads to a pseudo-terminal, and its lock file is there with nobody holding
// it. A link without a lock file is a user's, whatever it leads to.
bool replace_dead_link(const std::string &path)
{
    const std::string target = link_target(path);
    if (target.compare(0, 9, "/dev/pts/") != 0 || !take_lock(path + ".lock", false))
        return false;
    if (link_target(path) != target) {
        close(lock_fd); // changed meanwhile, not by a simulator: leave it
        lock_fd = -1;
        lock_path.clear();
        return false;
    }
    // rename() swaps the link at once, so kobrel never finds com<n> missing.
    const std::string fresh = path + ".new" + std::to_string(getpid());
    unlink(fresh.c_str());
    if (symlink(device_path.c_str(), fresh.c_str()) != 0 || rename(fresh.c_str(), path.c_str()) != 0)
        fail("cannot replace the link " + path);
    fprintf(stderr, "kobrel-sim: replaced %s, left by a simulator that was killed\n",
            path.c_str());
    return true;
}

// Makes path a link to our device, with its lock file held. The lock comes
// first, so a link of ours is never seen without it.
bool take_link(const std::string &path)
{
    struct stat entry;
    if (lstat(path.c_str(), &entry) == 0)
        return replace_dead_link(path);
    if (errno != ENOENT)
        fail("cannot look at " + path);
    if (!take_lock(path + ".lock", true))
        return false;
    if (symlink(device_path.c_str(), path.c_str()) == 0)
        return true;
    int error = errno;
    release_lock(); // a user's link came first; it must not look like ours
    errno = error;
    if (error != EEXIST)
        fail("cannot create the link " + path);
    return false;
}

// Links com<n> to our device; an existing link is replaced only when a
// killed simulator left it.
int make_link(const std::string &folder, int wanted_number)
{
    int first = wanted_number != 0 ? wanted_number : 1;
    int last = wanted_number != 0 ? wanted_number : 256;
    for (int number = first; number <= last; ++number) {
        std::string path = entry_path(number);
        if (take_link(path)) {
            link_path = path;
            return number;
        }
    }
    if (wanted_number != 0) {
        std::string path = entry_path(wanted_number);
        fprintf(stderr,
                "kobrel-sim: %s already exists and is left as it is; choose another COM number\n",
                path.c_str());
    } else {
        fprintf(stderr, "kobrel-sim: com1 to com256 are all taken in %s\n", folder.c_str());
    }
    exit(1);
}

// The pseudo-terminal is our line. We keep its slave side open ourselves, so
// the line lasts from one kobrel run to the next, and we can see what kobrel
// set on it and what it has not read yet.
void open_line(int *master, int *slave)
{
    *master = posix_openpt(O_RDWR | O_NOCTTY);
    if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0)
        fail("cannot open a pseudo-terminal");
    const char *name = ptsname(*master);
    if (name == nullptr)
        fail("cannot name the pseudo-terminal");
    device_path = name;
    *slave = open(name, O_RDWR | O_NOCTTY);
    if (*slave < 0)
        fail(std::string("cannot open ") + name);
    fcntl(*master, F_SETFL, fcntl(*master, F_GETFL) | O_NONBLOCK);
}

// 3.5 characters of 11 bits at the speed the line was set to, and at least
// 1.75 ms, as a Modbus RTU device reckons the end of a frame.
long frame_gap_us(int slave)
{
    static const struct {
        speed_t code;
        long bits_per_second;
    } speeds[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},
                  {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
                  {B57600, 57600},   {B115200, 115200}, {B230400, 230400}};
    struct termios line;
    long bits_per_second = 0;
    if (tcgetattr(slave, &line) == 0) {
        for (const auto &speed : speeds) {
            if (cfgetospeed(&line) == speed.code)
                bits_per_second = speed.bits_per_second;
        }
    }
    long gap = bits_per_second > 0 ? 38500000L / bits_per_second : 0;
    return gap > 1750 ? gap : 1750;
}

// Waits up to timeout_us for the line to become readable; false when it did
// not, or a stop signal came.
bool wait_line(int fd, short events, long timeout_us)
{
    struct pollfd watch = {fd, events, 0};
    struct timespec timeout = {timeout_us / 1000000, (timeout_us % 1000000) * 1000};
    return ppoll(&watch, 1, &timeout, nullptr) > 0 && stop_signal == 0;
}

// One frame: the bytes up to a silence of the frame gap. Empty when a stop
// signal came first.
bytes receive_frame(int master, int slave)
{
    bytes frame;
    while (!wait_line(master, POLLIN, 200000)) {
        if (stop_signal != 0)
            return frame;
    }
    long gap_us = frame_gap_us(slave);
    unsigned char chunk[4096];
    do {
        ssize_t count = read(master, chunk, sizeof chunk);
        if (count > 0)
            frame.insert(frame.end(), chunk, chunk + count);
    } while (frame.size() < FRAME_LIMIT_BYTES && wait_line(master, POLLIN, gap_us));
    return frame;
}

void sleep_ms(long milliseconds)
{
    struct timespec rest = {milliseconds / 1000, (milliseconds % 1000) * 1000000};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR && stop_signal == 0) {
    }
}

// Writes everything the line takes; false when nobody read it for a while
// or a stop signal came.
bool write_line(int master, const unsigned char *data, size_t count)
{
    while (count > 0) {
        ssize_t written = write(master, data, count);
        if (written > 0) {
            data += written;
            count -= static_cast<size_t>(written);
        } else {
            bool line_full = written == 0 || errno == EAGAIN || errno == EINTR;
            if (!line_full || !wait_line(master, POLLOUT, STALLED_WRITE_MS * 1000L))
                return false;
        }
    }
    return true;
}

std::string hex_text(const unsigned char *data, size_t count)
{
    constexpr size_t shown_at_most = 64;
    std::string text;
    char piece[4];
    for (size_t i = 0; i < count && i < shown_at_most; ++i) {
        snprintf(piece, sizeof piece, i == 0 ? "%02X" : " %02X", data[i]);
        text += piece;
    }
    if (count > shown_at_most)
        text += " ... (" + std::to_string(count) + " bytes)";
    return text;
}

bool crc_good(const bytes &frame)
{
    crc16_reset();
    for (unsigned char byte : frame)
        crc16_add(byte);
    return crc16_running == 0;
}

const char *crc_verdict(const bytes &frame)
{
    if (frame.size() < 3)
        return "too short for a CRC";
    return crc_good(frame) ? "CRC good" : "CRC bad";
}

void append_crc(bytes *frame)
{
    crc16_reset();
    for (unsigned char byte : *frame)
        crc16_add(byte);
    frame->push_back(crc16_low_byte());
    frame->push_back(crc16_high_byte());
}

// The functions modbus_reply answers. libmodbus reads a request as long as
// its function says, and takes any other function to have no data, so a
// frame of an unknown function with data would fail its CRC there.
bool libmodbus_answers(int function)
{
    switch (function) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
    case MODBUS_FC_WRITE_SINGLE_COIL:
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
    case MODBUS_FC_REPORT_SLAVE_ID:
    case MODBUS_FC_MASK_WRITE_REGISTER:
    case MODBUS_FC_WRITE_AND_READ_REGISTERS:
        return true;
    default:
        return false; // read exception status too: modbus_reply leaves it unanswered
    }
}

void modbus_start(int server_id)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        fail("cannot create a socket pair");
    // libmodbus never opens a device here: we hand it each frame through the
    // socket pair, so we see every byte that goes in and out.
    modbus_context = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    if (modbus_context == nullptr || modbus_set_slave(modbus_context, server_id) != 0 ||
        modbus_set_socket(modbus_context, pair[1]) != 0)
        fail("cannot set up libmodbus");
    // A frame shorter than its function needs is given up at once; the
    // whole frame is already in the socket when libmodbus reads it.
    modbus_set_byte_timeout(modbus_context, 0, 20000);
    modbus_set_response_timeout(modbus_context, 0, 1000);
    modbus_feed = pair[0];
    fcntl(modbus_feed, F_SETFL, fcntl(modbus_feed, F_GETFL) | O_NONBLOCK);

    modbus_tables = modbus_mapping_new(MODBUS_TABLE_SIZE, MODBUS_TABLE_SIZE, MODBUS_TABLE_SIZE,
                                       MODBUS_TABLE_SIZE);
    if (modbus_tables == nullptr)
        fail("cannot allocate the Modbus tables");
    for (int n = 0; n < MODBUS_TABLE_SIZE; ++n) {
        modbus_tables->tab_bits[n] = static_cast<uint8_t>(n % 2 == 1);
        modbus_tables->tab_input_bits[n] = static_cast<uint8_t>(n % 2 == 0);
        modbus_tables->tab_registers[n] = static_cast<uint16_t>(0x1000 + n);
        modbus_tables->tab_input_registers[n] = static_cast<uint16_t>(0x2000 + n);
    }
}

void discard_pending(int fd)
{
    unsigned char chunk[4096];
    while (recv(fd, chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
    }
}

// libmodbus's answer to one frame; *outcome says what became of the frame
// when there is no answer.
bytes modbus_answer(const bytes &frame, int server_id, std::string *outcome)
{
    bytes answer;
    // The frame is the whole run up to a silence: its CRC is checked over all
    // of it here, as libmodbus would check only as much as the function needs.
    if (frame.size() < 4) {
        *outcome = "too short: dropped";
        return answer;
    }
    if (!crc_good(frame)) {
        *outcome = "dropped";
        return answer;
    }
    if (frame[0] != server_id && frame[0] != 0) {
        // A device on a bus ignores what is addressed to others.
        *outcome = "addressed to server " + std::to_string(frame[0]) + ": ignored";
        return answer;
    }
    if (!libmodbus_answers(frame[1])) {
        if (frame[0] == 0) {
            *outcome = "broadcast: no answer";
            return answer;
        }
        answer = {frame[0], static_cast<unsigned char>(frame[1] | 0x80),
                  MODBUS_EXCEPTION_ILLEGAL_FUNCTION};
        append_crc(&answer);
        return answer;
    }
    int socket_end = modbus_get_socket(modbus_context);
    if (write(modbus_feed, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
        fail("cannot hand the frame to libmodbus");
    uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
    int length = modbus_receive(modbus_context, request);
    if (length > 0) {
        modbus_reply(modbus_context, request, length, modbus_tables);
        unsigned char chunk[MODBUS_RTU_MAX_ADU_LENGTH];
        ssize_t count;
        while ((count = recv(modbus_feed, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
            answer.insert(answer.end(), chunk, chunk + count);
        if (frame[0] == 0) {
            answer.clear(); // nobody answers a broadcast
            *outcome = "broadcast: no answer";
        }
    } else if (length < 0 && errno == EMBBADCRC) {
        // The CRC over the whole frame is good, so libmodbus read only a part.
        *outcome = "longer than its function needs: dropped";
    } else if (length < 0 && errno == ETIMEDOUT) {
        *outcome = "shorter than its function needs: dropped";
    } else {
        *outcome = std::string("dropped (") + modbus_strerror(errno) + ")";
    }
    discard_pending(socket_end); // what libmodbus did not take of a long frame
    return answer;
}

// Sends the answer as the options say; returns the number of bytes that went
// out. A stream is made as it goes, so it may be as long as one likes.
size_t send_answer(int master, const sim_options &options, const bytes &answer)
{
    if (options.delay_ms > 0)
        sleep_ms(options.delay_ms);
    size_t sent = 0;
    if (options.mode == ANSWER_STREAM) {
        unsigned char chunk[64 * 1024];
        while (sent < options.stream_length && stop_signal == 0) {
            size_t count = options.stream_length - sent;
            if (count > sizeof chunk)
                count = sizeof chunk;
            for (size_t i = 0; i < count; ++i)
                chunk[i] = stream_byte(sent + i);
            if (!write_line(master, chunk, count))
                break;
            sent += count;
        }
    } else if (options.byte_gap_ms == 0) {
        if (write_line(master, answer.data(), answer.size()))
            sent = answer.size();
    } else {
        for (; sent < answer.size() && stop_signal == 0; ++sent) {
            if (sent > 0)
                sleep_ms(options.byte_gap_ms);
            if (!write_line(master, &answer[sent], 1))
                break;
        }
    }
    return sent;
}

void answer_frame(int master, const sim_options &options, const bytes &frame, long number)
{
    std::string outcome;
    bytes answer; // a stream's first bytes only, for the monitor line
    switch (options.mode) {
    case ANSWER_MODBUS:
        answer = modbus_answer(frame, options.server_id, &outcome);
        break;
    case ANSWER_ECHO:
        answer = frame;
        break;
    case ANSWER_FIXED:
        answer = options.fixed_answer;
        break;
    case ANSWER_STREAM:
        for (size_t i = 0; i < options.stream_length && i < 16; ++i)
            answer.push_back(stream_byte(i));
        break;
    case ANSWER_SILENT:
        outcome = "no answer";
        break;
    }
    const bool stream = options.mode == ANSWER_STREAM;
    const size_t answer_length = stream ? options.stream_length : answer.size();
    if (answer_length > 0) {
        size_t sent = send_answer(master, options, answer);
        const std::string shown = hex_text(answer.data(), answer.size());
        outcome = stream ? "sent " + std::to_string(sent) + " bytes: " + shown + " ..."
                         : "sent " + shown;
        if (sent < answer_length)
            outcome += " (only " + std::to_string(sent) + " of " + std::to_string(answer_length) +
                       " bytes went out: nobody read the line)";
    }
    if (outcome.empty())
        outcome = "no answer";
    printf("frame %ld: received %s (%s), %s\n", number,
           hex_text(frame.data(), frame.size()).c_str(), crc_verdict(frame), outcome.c_str());
}

// Lets kobrel read the last answer before the line goes away: closing a
// pseudo-terminal discards what its other side has not read. Bytes written
// reach the other side's queue a moment later, so we first give them time
// to arrive.
void wait_until_read(int slave)
{
    sleep_ms(20);
    for (int waited = 0; waited < STALLED_WRITE_MS; waited += 5) {
        int unread = 0;
        if (ioctl(slave, TIOCINQ, &unread) != 0 || unread == 0)
            return;
        sleep_ms(5);
    }
}

const char *mode_description(const sim_options &options)
{
    static std::string text;
    switch (options.mode) {
    case ANSWER_MODBUS:
        text = "Modbus RTU server " + std::to_string(options.server_id);
        break;
    case ANSWER_ECHO:
        text = "echo";
        break;
    case ANSWER_FIXED:
        text = "fixed answer " + hex_text(options.fixed_answer.data(), options.fixed_answer.size());
        break;
    case ANSWER_STREAM:
        text = "stream of " + std::to_string(options.stream_length) + " bytes";
        break;
    case ANSWER_SILENT:
        text = "silent";
        break;
    }
    return text.c_str();
}

} // namespace

int main(int argc, char **argv)
{
    sim_options options = parse_options(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0); // a monitor line as soon as it happens

    struct sigaction action = {};
    action.sa_handler = on_stop_signal; // no SA_RESTART: waits return at once
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal_number, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int master = -1;
    int slave = -1;
    open_line(&master, &slave);
    if (options.mode == ANSWER_MODBUS)
        modbus_start(options.server_id);
    std::string folder = port_folder();
    atexit(remove_link);
    int com_number = make_link(folder, options.com_number);
    printf("Serving COM%d on %s: %s\n", com_number, device_path.c_str(),
           mode_description(options));

    long frames = 0;
    while (stop_signal == 0) {
        bytes frame = receive_frame(master, slave);
        if (frame.empty())
            continue;
        answer_frame(master, options, frame, ++frames);
        if (options.frame_limit != 0 && frames >= options.frame_limit) {
            wait_until_read(slave);
            printf("Served %ld frame%s; closing the line\n", frames, frames == 1 ? "" : "s");
            break;
        }
    }
    remove_link();
    close(master);
    close(slave);
    if (modbus_context != nullptr) {
        modbus_free(modbus_context);
        modbus_mapping_free(modbus_tables);
    }
    return 0;
}
