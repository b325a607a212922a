// rig-guest: the small helper inside the test VM, next to kobrel.
//
//   rig-guest mark <n>                  scratch register of the UART: 0x4B, then n
//   rig-guest report <folder>           every file of the folder out through the
//                                       debug console: "FILE <name> <size>\n" + bytes
//   rig-guest exit <code>               ends the VM (isa-debug-exit)
//   rig-guest hold <tty> excl|flock     takes the device as another program would
//                                       and keeps it, in the background, until killed
//   rig-guest drain-send <tty> <baud> <e|o|n> <hex bytes...>
//                                       one frame, RS-485 as write + tcdrain +
//                                       drop does it: RTS up, write, tcdrain, RTS
//                                       down; then the reply is read until the
//                                       line has been silent for 200 ms
//
// The markers let the host cut the trace of the UART into exchanges; the
// report goes through the debug console so that no UART carries anything but
// the exchanges.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const unsigned short UART_BASE = 0x2f8;
const unsigned short DEBUG_CONSOLE = 0xe9;
const unsigned short DEBUG_EXIT = 0xf4;
const unsigned char MARKER_LEAD = 0x4B;

bool ports(unsigned short from, unsigned long count)
{
    if (ioperm(from, count, 1) != 0) {
        perror("rig-guest: ioperm");
        return false;
    }
    return true;
}

int mark(unsigned value)
{
    if (!ports(UART_BASE + 7, 1))
        return 1;
    outb(MARKER_LEAD, UART_BASE + 7);
    outb(static_cast<unsigned char>(value), UART_BASE + 7);
    return 0;
}

void debug_console_write(const std::string &bytes)
{
    for (char c : bytes)
        outb(static_cast<unsigned char>(c), DEBUG_CONSOLE);
}

int report(const char *folder)
{
    if (!ports(DEBUG_CONSOLE, 1))
        return 1;
    DIR *dir = opendir(folder);
    if (dir == nullptr)
        return 1;
    std::vector<std::string> names;
    for (struct dirent *entry; (entry = readdir(dir)) != nullptr;)
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        std::string path = std::string(folder) + "/" + name;
        std::string content;
        FILE *file = fopen(path.c_str(), "rb");
        if (file == nullptr)
            continue;
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
            content.append(chunk, n);
        fclose(file);
        debug_console_write("FILE " + name + " " + std::to_string(content.size()) + "\n");
        debug_console_write(content);
    }
    return 0;
}

int exit_vm(int code)
{
    if (!ports(DEBUG_EXIT, 1))
        return 1;
    outb(static_cast<unsigned char>(code), DEBUG_EXIT);
    return 1; // not reached when the device is there
}

int hold(const char *tty, const char *how)
{
    int fd = open(tty, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        perror("rig-guest: open");
        return 1;
    }
    bool held = strcmp(how, "flock") == 0 ? flock(fd, LOCK_EX | LOCK_NB) == 0
                                          : ioctl(fd, TIOCEXCL) == 0;
    if (!held) {
        perror("rig-guest: hold");
        return 1;
    }
    // The holder lives on in the background; the caller goes on at once.
    if (fork() == 0) {
        for (;;)
            pause();
    }
    return 0;
}

speed_t speed_code(long baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

void set_rts(int fd, bool on)
{
    int line = TIOCM_RTS;
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

int drain_send(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    int fd = open(argv[0], O_RDWR | O_NOCTTY);
    speed_t code = speed_code(atol(argv[1]));
    struct termios line;
    if (fd < 0 || code == B0 || tcgetattr(fd, &line) != 0)
        return 1;
    cfmakeraw(&line);
    line.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CSTOPB | CRTSCTS);
    line.c_cflag |= CLOCAL | CREAD;
    if (argv[2][0] == 'e')
        line.c_cflag |= PARENB;
    else if (argv[2][0] == 'o')
        line.c_cflag |= PARENB | PARODD;
    cfsetispeed(&line, code);
    cfsetospeed(&line, code);
    if (tcsetattr(fd, TCSANOW, &line) != 0)
        return 1;
    set_rts(fd, false);
    std::vector<unsigned char> frame;
    for (int i = 3; i < argc; i++)
        frame.push_back(static_cast<unsigned char>(strtoul(argv[i], nullptr, 16)));
    set_rts(fd, true);
    if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
        return 1;
    tcdrain(fd);
    set_rts(fd, false);
    // Take the reply off the line until it has been silent for 200 ms.
    struct pollfd watch = {fd, POLLIN, 0};
    unsigned char reply[256];
    while (poll(&watch, 1, 200) > 0 && read(fd, reply, sizeof reply) > 0) {
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[1], "mark") == 0)
        return mark(static_cast<unsigned>(atoi(argv[2])));
    if (argc >= 3 && strcmp(argv[1], "report") == 0)
        return report(argv[2]);
    if (argc >= 3 && strcmp(argv[1], "exit") == 0)
        return exit_vm(atoi(argv[2]));
    if (argc >= 4 && strcmp(argv[1], "hold") == 0)
        return hold(argv[2], argv[3]);
    if (argc >= 3 && strcmp(argv[1], "drain-send") == 0)
        return drain_send(argc - 2, argv + 2);
    fprintf(stderr, "rig-guest: mark, report, exit, hold or drain-send\n");
    return 2;
}
