#include "uart_rig.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <fstream>
#include <sstream>

namespace {

const int BOOT_TIMEOUT_S = 240;
const unsigned MARKER_LEAD = 0x4B;
const unsigned SCRATCH = 7;

double monotonic()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const char *path)
{
    struct stat info;
    return stat(path, &info) == 0;
}

// A cpio archive ("newc") holding one file; appended to the guest image, the
// kernel unpacks it over the first.
std::string cpio_with(const std::string &name, const std::string &content, unsigned mode)
{
    std::string archive;
    auto entry = [&archive](const std::string &entry_name, const std::string &data, unsigned entry_mode) {
        char header[111];
        snprintf(header, sizeof header, "070701%08X%08X%08X%08X%08X%08X%08zX%08X%08X%08X%08X%08zX%08X",
                 1u, entry_mode, 0u, 0u, 1u, 0u, data.size(), 0u, 0u, 0u, 0u, entry_name.size() + 1, 0u);
        archive += header;
        archive += entry_name;
        archive += '\0';
        archive.append((4 - archive.size() % 4) % 4, '\0');
        archive += data;
        archive.append((4 - archive.size() % 4) % 4, '\0');
    };
    entry(name, content, mode);
    entry("TRAILER!!!", "", 0);
    return archive;
}

// The speeds kobrel-sim knows a pseudo-terminal's frame gap by.
speed_t speed_code(unsigned long baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B9600;
    }
}

double character_time(const rig_line_setting &setting)
{
    int bits = 1 + setting.data_bits + (setting.parity == 'N' ? 0 : 1) + setting.stop_bits;
    return setting.baud > 0 ? bits / static_cast<double>(setting.baud) : 0;
}

double modbus_t35(const rig_line_setting &setting)
{
    return setting.baud > 19200 ? 0.00175 : 3.5 * character_time(setting);
}

// The device on the host end: a fixed answer at t3.5, or kobrel-sim.
struct device_state {
    rig_line_setting setting = {0, 9600, 'N', 8, 1};
    std::string params_pending;
    double last_received = -1; // monotonic
    // One answer for each exchange: a guest held up by its host may leave a
    // gap in the middle of a frame, which must not make two frames of it.
    bool answered = false;
    std::deque<std::pair<double, unsigned char>> to_send; // monotonic due time
    double next_free = 0;
    int sim_line = -1; // the simulator's pseudo-terminal, bridge mode
};

void parse_params(device_state *device, const char *data, size_t size)
{
    device->params_pending.append(data, size);
    size_t end;
    while ((end = device->params_pending.find('\n')) != std::string::npos) {
        std::string line = device->params_pending.substr(0, end);
        device->params_pending.erase(0, end + 1);
        if (line == "mark") {
            device->answered = false; // a new exchange begins
            continue;
        }
        rig_line_setting s = {0, 0, 'N', 8, 1};
        if (sscanf(line.c_str(), "%lu %c %d %d", &s.baud, &s.parity, &s.data_bits, &s.stop_bits) == 4 &&
            s.baud > 0) {
            device->setting = s;
            if (device->sim_line >= 0) {
                struct termios line_settings;
                if (tcgetattr(device->sim_line, &line_settings) == 0) {
                    cfsetispeed(&line_settings, speed_code(s.baud));
                    cfsetospeed(&line_settings, speed_code(s.baud));
                    tcsetattr(device->sim_line, TCSANOW, &line_settings);
                }
            }
        }
    }
}

// Queues bytes to go out one character time apart, each when it would have
// arrived whole.
void queue_answer(device_state *device, const unsigned char *bytes, size_t count, double start)
{
    double character = character_time(device->setting);
    double at = start > device->next_free ? start : device->next_free;
    for (size_t i = 0; i < count; i++) {
        at += character;
        device->to_send.emplace_back(at, bytes[i]);
    }
    device->next_free = at;
}

pid_t start_sim(const std::vector<std::string> &options, const std::string &config_home, int *output)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], STDOUT_FILENO);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        setenv("XDG_CONFIG_HOME", config_home.c_str(), 1);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(KOBREL_SIM_BINARY));
        for (const std::string &option : options)
            argv.push_back(const_cast<char *>(option.c_str()));
        argv.push_back(const_cast<char *>("1"));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    *output = pipe_fds[0];
    return pid;
}

// "Serving COM1 on /dev/pts/3: ..." -> /dev/pts/3
std::string sim_device(int output, std::string *seen)
{
    double deadline = monotonic() + 10;
    while (seen->find('\n') == std::string::npos && monotonic() < deadline) {
        struct pollfd watch = {output, POLLIN, 0};
        if (poll(&watch, 1, 100) > 0) {
            char chunk[512];
            ssize_t n = read(output, chunk, sizeof chunk);
            if (n <= 0)
                break;
            seen->append(chunk, static_cast<size_t>(n));
        }
    }
    size_t on = seen->find(" on ");
    size_t colon = seen->find(':', on == std::string::npos ? 0 : on);
    if (on == std::string::npos || colon == std::string::npos)
        return "";
    return seen->substr(on + 4, colon - on - 4);
}

} // namespace

void rig_parse_trace(const std::string &text, rig_boot_result *result)
{
    std::istringstream lines(text);
    std::string line;
    bool marker_lead_seen = false;
    while (std::getline(lines, line)) {
        int pid;
        long seconds, micros;
        int consumed = 0;
        if (sscanf(line.c_str(), "%d@%ld.%ld:%n", &pid, &seconds, &micros, &consumed) != 3 || consumed == 0)
            continue;
        double time = static_cast<double>(seconds) + static_cast<double>(micros) / 1e6;
        const char *event = line.c_str() + consumed;
        unsigned address, value;
        rig_line_setting setting = {time, 0, 'N', 8, 1};
        if (sscanf(event, "serial_write write addr 0x%x val 0x%x", &address, &value) == 2) {
            result->writes.push_back({time, address, value});
            if (address == SCRATCH) {
                // A marker is the lead, then its number (which may equal the lead).
                if (!marker_lead_seen) {
                    marker_lead_seen = value == MARKER_LEAD;
                } else {
                    marker_lead_seen = false;
                    if (value >= 1) {
                        if (result->markers.size() < value)
                            result->markers.resize(value, 0);
                        result->markers[value - 1] = time;
                    }
                }
            }
        } else if (sscanf(event, "serial_update_parameters baudrate=%lu parity='%c' data=%d stop=%d",
                          &setting.baud, &setting.parity, &setting.data_bits, &setting.stop_bits) == 4) {
            result->settings.push_back(setting);
        }
    }
}

namespace {

void parse_wire(const std::string &text, rig_boot_result *result)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        long seconds, micros;
        unsigned value;
        if (sscanf(line.c_str(), "%ld.%ld %x", &seconds, &micros, &value) == 3)
            result->wire.push_back({static_cast<double>(seconds) + static_cast<double>(micros) / 1e6,
                                    static_cast<unsigned char>(value)});
    }
}

void parse_report(const std::string &text, rig_boot_result *result)
{
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            break;
        char name[256];
        size_t size;
        if (sscanf(text.substr(at, end - at).c_str(), "FILE %255s %zu", name, &size) != 2)
            break;
        result->files[name] = text.substr(end + 1, size);
        at = end + 1 + size;
    }
    std::istringstream markers(result->files["markers"]);
    size_t number;
    std::string name;
    while (markers >> number >> name) {
        if (number >= 1) {
            if (result->names.size() < number)
                result->names.resize(number);
            result->names[number - 1] = name;
        }
    }
}

} // namespace

bool rig_available(std::string *why_not)
{
    for (const char *path : {KOBREL_RIG_QEMU, KOBREL_RIG_KERNEL, KOBREL_RIG_IMAGE, KOBREL_RIG_PACING}) {
        if (!exists(path)) {
            *why_not = std::string("missing ") + path + " (scripts/install-deps rig installs the rig)";
            return false;
        }
    }
    return true;
}

rig_boot_result rig_boot(const rig_setup &setup)
{
    rig_boot_result result;
    char folder_template[] = "/tmp/kobrel-rig-XXXXXX";
    if (mkdtemp(folder_template) == nullptr) {
        result.error = "no temporary folder";
        return result;
    }
    const std::string folder = folder_template;
    const std::string socket_path = folder + "/line", trace = folder + "/trace", wire = folder + "/wire",
                      report = folder + "/report", initrd = folder + "/initrd";
    {
        std::ofstream image(initrd, std::ios::binary);
        image << read_file(KOBREL_RIG_IMAGE) << cpio_with("run.sh", setup.script, 0100644);
    }

    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
    int params[2];
    if (listener < 0 || bind(listener, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 || pipe(params) != 0) {
        result.error = "no line socket";
        return result;
    }
    fcntl(params[0], F_SETFD, FD_CLOEXEC);

    device_state device;
    pid_t sim = -1;
    int sim_output = -1;
    std::string sim_text;
    if (setup.bridge_to_sim) {
        sim = start_sim(setup.sim_options, folder, &sim_output);
        std::string path = sim_device(sim_output, &sim_text);
        device.sim_line = path.empty() ? -1 : open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        struct termios raw;
        if (device.sim_line < 0 || tcgetattr(device.sim_line, &raw) != 0) {
            result.error = "kobrel-sim did not start: " + sim_text;
            kill(sim, SIGTERM);
            waitpid(sim, nullptr, 0);
            return result;
        }
        cfmakeraw(&raw);
        tcsetattr(device.sim_line, TCSANOW, &raw);
    }

    const double started = monotonic();
    pid_t qemu = fork();
    if (qemu == 0) {
        close(params[0]);
        setenv("LD_PRELOAD", KOBREL_RIG_PACING, 1);
        setenv("KOBREL_RIG_LINE", socket_path.c_str(), 1);
        setenv("KOBREL_RIG_WIRE_LOG", wire.c_str(), 1);
        setenv("KOBREL_RIG_PARAMS_FD", std::to_string(params[1]).c_str(), 1);
        int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        std::string chardev = "socket,id=line,path=" + socket_path;
        std::string debugcon = "file,id=report,path=" + report;
        const char *argv[] = {KOBREL_RIG_QEMU, "-nodefaults", "-display", "none", "-no-reboot",
                              "-accel", "tcg", "-m", "256", "-kernel", KOBREL_RIG_KERNEL,
                              "-initrd", initrd.c_str(), "-append", "console=tty0 quiet panic=-1",
                              "-chardev", chardev.c_str(),
                              "-device", "isa-serial,chardev=line,iobase=0x2f8,irq=3,index=1",
                              "-chardev", debugcon.c_str(), "-device", "isa-debugcon,iobase=0xe9,chardev=report",
                              "-device", "isa-debug-exit,iobase=0xf4,iosize=1",
                              "-msg", "timestamp=on", "-trace", "serial_update_parameters",
                              "-trace", "serial_write", "-trace", "serial_read", "-D", trace.c_str(),
                              nullptr};
        execv(argv[0], const_cast<char *const *>(argv));
        _exit(127);
    }
    close(params[1]);

    int line = -1;
    int qemu_status = -1;
    bool qemu_ended = false;
    const double deadline = started + BOOT_TIMEOUT_S;
    const bool answers_fixed = !setup.bridge_to_sim && !setup.reply.empty();
    while (!qemu_ended) {
        double now = monotonic();
        if (now > deadline) {
            kill(qemu, SIGKILL);
            result.error = "the VM did not finish in time";
        }
        if (waitpid(qemu, &qemu_status, WNOHANG) == qemu) {
            qemu_ended = true;
            break;
        }
        // Due bytes of an answer go out.
        while (line >= 0 && !device.to_send.empty() && device.to_send.front().first <= now) {
            unsigned char byte = device.to_send.front().second;
            device.to_send.pop_front();
            if (write(line, &byte, 1) != 1)
                break;
        }
        double wake = now + 0.05;
        // A fixed answer starts at t3.5 after the last byte of a frame.
        if (answers_fixed && device.last_received >= 0) {
            const double answer_at = device.last_received + modbus_t35(device.setting);
            if (now >= answer_at) {
                if (!device.answered)
                    queue_answer(&device, setup.reply.data(), setup.reply.size(), answer_at);
                device.answered = true;
                device.last_received = -1;
            } else if (answer_at < wake) {
                wake = answer_at;
            }
        }
        if (!device.to_send.empty() && device.to_send.front().first < wake)
            wake = device.to_send.front().first;
        struct pollfd watch[3] = {{line >= 0 ? line : listener, POLLIN, 0},
                                  {params[0], POLLIN, 0},
                                  {device.sim_line, POLLIN, 0}};
        double wait = wake - monotonic();
        struct timespec timeout = {0, wait > 0 ? static_cast<long>(wait * 1e9) : 0};
        if (ppoll(watch, 3, &timeout, nullptr) <= 0)
            continue;
        unsigned char chunk[4096];
        if ((watch[1].revents & POLLIN) != 0) {
            ssize_t n = read(params[0], chunk, sizeof chunk);
            if (n > 0)
                parse_params(&device, reinterpret_cast<char *>(chunk), static_cast<size_t>(n));
        }
        if (line < 0 && (watch[0].revents & POLLIN) != 0) {
            line = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        } else if (line >= 0 && (watch[0].revents & (POLLIN | POLLHUP)) != 0) {
            ssize_t n = read(line, chunk, sizeof chunk);
            if (n <= 0) {
                close(line);
                line = -1;
                continue;
            }
            device.last_received = monotonic();
            if (device.sim_line >= 0 && write(device.sim_line, chunk, static_cast<size_t>(n)) != n)
                result.error = "the bridge to kobrel-sim lost bytes";
        }
        if (device.sim_line >= 0 && (watch[2].revents & POLLIN) != 0) {
            ssize_t n = read(device.sim_line, chunk, sizeof chunk);
            if (n > 0)
                queue_answer(&device, chunk, static_cast<size_t>(n), monotonic());
        }
    }
    if (line >= 0)
        close(line);
    close(listener);
    close(params[0]);
    if (sim > 0) {
        kill(sim, SIGTERM);
        waitpid(sim, nullptr, 0);
        char chunk[4096];
        ssize_t n;
        while ((n = read(sim_output, chunk, sizeof chunk)) > 0)
            sim_text.append(chunk, static_cast<size_t>(n));
        close(sim_output);
        close(device.sim_line);
        result.files["sim"] = sim_text;
    }

    rig_parse_trace(read_file(trace), &result);
    parse_wire(read_file(wire), &result);
    parse_report(read_file(report), &result);
    // isa-debug-exit ends QEMU with (code << 1) | 1: 1 is the guest's 0.
    if (result.error.empty() && !(WIFEXITED(qemu_status) && WEXITSTATUS(qemu_status) == 1))
        result.error = "the VM ended without its report (status " + std::to_string(qemu_status) + ")";
    if (result.error.empty() && result.files.count("markers") == 0)
        result.error = "the guest reported nothing";
    if (getenv("KOBREL_RIG_KEEP") == nullptr)
        system(("rm -rf '" + folder + "'").c_str());
    else
        fprintf(stderr, "rig files kept in %s\n", folder.c_str());
    return result;
}

rig_exchange rig_exchange_named(const rig_boot_result &boot, const std::string &name)
{
    rig_exchange exchange;
    for (size_t i = 0; i < boot.names.size(); i++) {
        if (boot.names[i] != name || i + 1 >= boot.markers.size() || boot.markers[i] == 0)
            continue;
        exchange.found = true;
        exchange.begin = boot.markers[i];
        exchange.end = boot.markers[i + 1];
    }
    if (!exchange.found)
        return exchange;
    for (const rig_line_setting &setting : boot.settings)
        if (setting.time >= exchange.begin && setting.time < exchange.end)
            exchange.settings.push_back(setting);
    for (const rig_register_write &write : boot.writes)
        if (write.time >= exchange.begin && write.time < exchange.end)
            exchange.writes.push_back(write);
    for (const rig_wire_byte &byte : boot.wire)
        if (byte.stop_bit_end >= exchange.begin && byte.stop_bit_end < exchange.end)
            exchange.wire.push_back(byte);
    return exchange;
}

bool rig_setting_at(const rig_boot_result &boot, double time, rig_line_setting *setting)
{
    bool found = false;
    for (const rig_line_setting &s : boot.settings) {
        if (s.time <= time) {
            *setting = s;
            found = true;
        }
    }
    return found;
}

namespace {

struct rts_edge {
    double time;
    bool up;
};

// RTS is bit 1 of the modem control register (offset 4); low when an
// exchange begins (the last program's close dropped it).
std::vector<rts_edge> rts_edges(const rig_exchange &exchange)
{
    std::vector<rts_edge> edges;
    bool rts = false;
    for (const rig_register_write &write : exchange.writes) {
        if (write.address != 4)
            continue;
        bool up = (write.value & 0x02) != 0;
        if (up != rts)
            edges.push_back({write.time, up});
        rts = up;
    }
    return edges;
}

bool rts_up_at(const std::vector<rts_edge> &edges, double time)
{
    bool up = false;
    for (const rts_edge &edge : edges)
        if (edge.time <= time)
            up = edge.up;
    return up;
}

} // namespace

rig_turnaround rig_turnaround_of(const rig_boot_result &boot, const rig_exchange &exchange)
{
    rig_turnaround t;
    rig_line_setting setting;
    // The line as the frame left: a program may put other settings back at
    // its close.
    if (exchange.wire.empty() || !rig_setting_at(boot, exchange.wire.front().stop_bit_end, &setting))
        return t;
    t.frame_seen = true;
    t.character_s = character_time(setting);
    t.t35_s = modbus_t35(setting);
    const double first_start = exchange.wire.front().stop_bit_end - t.character_s;
    const double last_end = exchange.wire.back().stop_bit_end;
    const std::vector<rts_edge> edges = rts_edges(exchange);
    for (const rts_edge &edge : edges) {
        if (edge.up && edge.time < first_start)
            t.rts_up_before_first_byte = true;
        if (!edge.up && edge.time > first_start) {
            // Negative when RTS fell inside the frame.
            t.rts_dropped = true;
            t.drop_after_s = edge.time - last_end;
            t.rts_down_inside_frame = edge.time < last_end;
            break;
        }
    }
    // Every byte's whole character inside the time RTS was up.
    for (const rig_wire_byte &byte : exchange.wire) {
        double start = byte.stop_bit_end - t.character_s;
        if (!rts_up_at(edges, start))
            t.byte_with_rts_low = true;
        for (const rts_edge &edge : edges)
            if (!edge.up && edge.time > start && edge.time < byte.stop_bit_end)
                t.byte_with_rts_low = true;
    }
    return t;
}

bool rig_rts_up_after_open(const rig_exchange &exchange, double *seconds)
{
    const std::vector<rts_edge> edges = rts_edges(exchange);
    if (edges.size() < 2 || !edges[0].up)
        return false;
    *seconds = edges[1].time - edges[0].time;
    return true;
}
