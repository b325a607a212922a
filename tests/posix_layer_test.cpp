// The POSIX communications layer against real pseudo-terminals: device names,
// exclusive opening, the settings record in both directions, and the bytes.
#include "posix/port_folder.h"
#include "posix/win_comm.h"
#include "pty_peer.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace {

const char com7[] = "\\\\.\\COM7";

HANDLE open_port(const char *name)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

class PosixLayer : public ::testing::Test {
protected:
    void SetUp() override
    {
        peer = pty_open();
        config_home = port_folder_create();
        setenv("XDG_CONFIG_HOME", config_home.c_str(), 1);
        port_map(config_home, 7, peer.slave_path);
    }
    void TearDown() override
    {
        if (port != INVALID_HANDLE_VALUE)
            CloseHandle(port);
        pty_close(peer);
        port_folder_remove(config_home);
    }
    // Opens COM7 and applies the tool's usual settings at the given speed,
    // RTS toggling included. A pseudo-terminal has no RTS and no transmitter
    // to ask, so its writes go out without a turnaround: they still must
    // deliver every byte. The turnaround's timing needs a UART.
    void open_raw(DWORD speed)
    {
        port = open_port(com7);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        DCB dcb;
        ASSERT_TRUE(GetCommState(port, &dcb));
        dcb.BaudRate = speed;
        dcb.ByteSize = 8;
        dcb.StopBits = ONESTOPBIT;
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        ASSERT_TRUE(SetCommState(port, &dcb));
    }
    struct termios slave_termios()
    {
        struct termios line;
        EXPECT_EQ(tcgetattr(peer.slave, &line), 0);
        return line;
    }

    pty_peer peer;
    std::string config_home;
    HANDLE port = INVALID_HANDLE_VALUE;
};

TEST_F(PosixLayer, OnlyPlainComNamesResolve)
{
    port_map(config_home, 0, peer.slave_path);
    struct {
        const char *name;
        bool opens;
    } cases[] = {
        {"\\\\.\\COM7", true},   {"\\\\.\\COM0", true},    {"COM7", false},
        {"\\\\.\\COM07", false}, {"\\\\.\\COM-7", false},  {"\\\\.\\COM", false},
        {"\\\\.\\COM7x", false}, {"\\\\.\\com7", false},   {"\\\\.\\COM99999", false},
        {"", false},
    };
    for (const auto &c : cases) {
        HANDLE handle = open_port(c.name);
        EXPECT_EQ(handle != INVALID_HANDLE_VALUE, c.opens) << c.name;
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
}

TEST_F(PosixLayer, PortFolderFallsBackToHomeConfig)
{
    std::string home = config_home + "/home";
    std::string home_config = home + "/.config";
    ASSERT_EQ(system(("mkdir -p '" + home_config + "/kobrel/ports'").c_str()), 0);
    port_map(home_config, 9, peer.slave_path);
    const char *saved_home = getenv("HOME");
    std::string restore = saved_home != nullptr ? saved_home : "";
    setenv("HOME", home.c_str(), 1);
    for (const char *xdg : {"", static_cast<const char *>(nullptr)}) {
        if (xdg != nullptr)
            setenv("XDG_CONFIG_HOME", xdg, 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        HANDLE handle = open_port("\\\\.\\COM9");
        EXPECT_NE(handle, INVALID_HANDLE_VALUE) << (xdg != nullptr ? "empty" : "unset");
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    setenv("HOME", restore.c_str(), 1);
}

TEST_F(PosixLayer, MappedEntryThatIsNoTerminalFails)
{
    std::string plain_file = config_home + "/plain";
    ASSERT_EQ(system(("echo data > '" + plain_file + "'").c_str()), 0);
    port_map(config_home, 3, plain_file);
    port_map(config_home, 4, config_home + "/missing");
    EXPECT_EQ(open_port("\\\\.\\COM3"), INVALID_HANDLE_VALUE);
    // A user's mapping that points nowhere is no reason to try /dev/ttyS3.
    EXPECT_EQ(open_port("\\\\.\\COM4"), INVALID_HANDLE_VALUE);
}

TEST_F(PosixLayer, UnmappedNumberIsTheSerialDeviceBelowIt)
{
    // COM1 is /dev/ttyS0; only checked where that device can be opened.
    int probe = open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (probe < 0 || !isatty(probe)) {
        if (probe >= 0)
            close(probe);
        GTEST_SKIP() << "no usable /dev/ttyS0 here";
    }
    close(probe);
    // Shared, so the test takes no lock on what may be the system console.
    HANDLE handle = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

TEST_F(PosixLayer, ExclusiveOpenKeepsOthersOutUntilClosed)
{
    port = open_port(com7);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open_port(com7), INVALID_HANDLE_VALUE);
    int exclusive = 0;
    ASSERT_EQ(ioctl(peer.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_NE(exclusive, 0);

    // A shared open (root passes TIOCEXCL) must not clear the flag it did
    // not set when it closes.
    HANDLE shared = CreateFileA(com7, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (shared != INVALID_HANDLE_VALUE)
        CloseHandle(shared);
    ASSERT_EQ(ioctl(peer.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_NE(exclusive, 0);

    EXPECT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    // The test still holds the device open: the flag must not outlive us.
    ASSERT_EQ(ioctl(peer.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    port = open_port(com7);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
}

TEST_F(PosixLayer, PortLockedByAnotherProgramFails)
{
    int other = open(peer.slave_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(open_port(com7), INVALID_HANDLE_VALUE);
    close(other);
    port = open_port(com7);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
}

TEST_F(PosixLayer, TerminalModeDeviceReportsComPortDefaults)
{
    // A fresh pseudo-terminal has IXON and ICRNL on, as a login would.
    ASSERT_NE(slave_termios().c_iflag & IXON, 0u);
    port = open_port(com7);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb;
    memset(&dcb, 0xAB, sizeof dcb);
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 38400u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, (DWORD)DTR_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fRtsControl, (DWORD)RTS_CONTROL_ENABLE);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
}

TEST_F(PosixLayer, SettingsLeaveTheLineRaw)
{
    open_raw(9600);
    struct termios line = slave_termios();
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), (tcflag_t)(CLOCAL | CREAD));
    EXPECT_EQ(line.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_EQ(line.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(line.c_cc[VMIN], 1);
    EXPECT_EQ(cfgetospeed(&line), (speed_t)B9600);
}

TEST_F(PosixLayer, SpeedsAreTakenOrRefused)
{
    // A pseudo-terminal has no divisor: it runs at any rate it is given, so
    // 31250 is taken here. What a 16550 makes of a rate is ProgrammedRate's.
    port = open_port(com7);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    struct {
        DWORD speed;
        bool taken;
    } cases[] = {
        {9600, true},    {115200, true},     {250000, true},       {1000000, true},
        {31250, true},   {300, true},        {0, false},           {0x80000000u, false},
        {0xFFFFFFFFu, false},
    };
    for (const auto &c : cases) {
        DCB dcb;
        ASSERT_TRUE(GetCommState(port, &dcb));
        DWORD before = dcb.BaudRate;
        dcb.BaudRate = c.speed;
        EXPECT_EQ(SetCommState(port, &dcb) != FALSE, c.taken) << c.speed;
        ASSERT_TRUE(GetCommState(port, &dcb));
        EXPECT_EQ(dcb.BaudRate, c.taken ? c.speed : before) << c.speed;
    }
}

TEST_F(PosixLayer, UnsupportedFramingIsRefused)
{
    port = open_port(com7);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB good;
    ASSERT_TRUE(GetCommState(port, &good));
    good.BaudRate = 9600;
    const struct {
        const char *what;
        void (*spoil)(DCB &);
    } cases[] = {
        {"9 data bits", [](DCB &d) { d.ByteSize = 9; }},
        {"4 data bits", [](DCB &d) { d.ByteSize = 4; }},
        {"1.5 stop bits", [](DCB &d) { d.StopBits = ONE5STOPBITS; }},
        {"parity 5", [](DCB &d) { d.Parity = 5; }},
        {"DSR flow control", [](DCB &d) { d.fOutxDsrFlow = 1; }},
        {"DTR handshake", [](DCB &d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; }},
        {"DTR control 3", [](DCB &d) { d.fDtrControl = 3; }},
        {"XON equal to XOFF", [](DCB &d) { d.fOutX = 1; d.XonChar = d.XoffChar = 0x11; }},
    };
    for (const auto &c : cases) {
        DCB dcb = good;
        c.spoil(dcb);
        EXPECT_FALSE(SetCommState(port, &dcb)) << c.what;
    }
    EXPECT_TRUE(SetCommState(port, &good));
}

TEST_F(PosixLayer, RefusedSettingsLeaveTheLineAsItWas)
{
    // A pseudo-terminal keeps 8 data bits whatever it is given, so a record
    // with fewer fails only after the line was changed: the one late failure
    // it can show. Refused rates and the modem lines need a UART.
    const struct {
        const char *what;
        DWORD speed;
        BYTE data_bits;
        bool xon_xoff;
    } refused[] = {
        {"7 data bits at 31250", 31250, 7, false},
        {"5 data bits at 9600 with XON/XOFF", 9600, 5, true},
    };
    for (bool raw_before : {false, true}) {
        for (const auto &r : refused) {
            SCOPED_TRACE(testing::Message() << r.what << (raw_before ? ", raw line at 250000" : ", terminal"));
            if (raw_before) {
                open_raw(250000);
            } else {
                port = open_port(com7);
                ASSERT_NE(port, INVALID_HANDLE_VALUE);
            }
            struct termios before;
            memset(&before, 0, sizeof before);
            ASSERT_EQ(tcgetattr(peer.slave, &before), 0);
            DCB dcb;
            ASSERT_TRUE(GetCommState(port, &dcb));
            const DWORD speed_before = dcb.BaudRate;

            dcb.BaudRate = r.speed;
            dcb.ByteSize = r.data_bits;
            dcb.Parity = EVENPARITY;
            dcb.fOutX = dcb.fInX = r.xon_xoff;
            dcb.fRtsControl = RTS_CONTROL_TOGGLE;
            EXPECT_FALSE(SetCommState(port, &dcb));

            struct termios after;
            memset(&after, 0, sizeof after);
            ASSERT_EQ(tcgetattr(peer.slave, &after), 0);
            EXPECT_EQ(memcmp(&before, &after, sizeof before), 0);
            ASSERT_TRUE(GetCommState(port, &dcb));
            EXPECT_EQ(dcb.BaudRate, speed_before);
            CloseHandle(port);
            port = INVALID_HANDLE_VALUE;
            pty_close(peer);
            peer = pty_open();
            port_map(config_home, 7, peer.slave_path);
        }
    }
}

TEST_F(PosixLayer, FlowControlOfARawLinePersistsAcrossOpens)
{
    open_raw(19200);
    DCB dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.XonChar = 0x01;
    dcb.XoffChar = 0x02;
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(port, &dcb));
    CloseHandle(port);

    port = open_port(com7);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB again;
    ASSERT_TRUE(GetCommState(port, &again));
    EXPECT_EQ(again.BaudRate, 19200u);
    EXPECT_EQ(again.fOutX, 1u);
    EXPECT_EQ(again.fInX, 1u);
    EXPECT_EQ(again.fOutxCtsFlow, 1u);
    EXPECT_EQ(again.fRtsControl, (DWORD)RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(again.XonChar, 0x01);
    EXPECT_EQ(again.XoffChar, 0x02);
    EXPECT_EQ(again.StopBits, TWOSTOPBITS);
}

TEST_F(PosixLayer, EveryByteValuePassesBothWays)
{
    open_raw(9600);
    std::vector<unsigned char> all(256);
    for (int value = 0; value < 256; ++value)
        all[(size_t)value] = (unsigned char)value;

    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, all.data(), 256, &written, nullptr));
    EXPECT_EQ(written, 256u);
    EXPECT_EQ(read_bytes(peer.master, 256, 2000), all);

    write_bytes(peer.master, all);
    std::vector<unsigned char> received;
    for (int polls = 0; polls < 1000000 && received.size() < 256; ++polls) {
        DWORD errors = 1;
        COMSTAT status;
        ASSERT_TRUE(ClearCommError(port, &errors, &status));
        EXPECT_EQ(errors, 0u);
        if (status.cbInQue == 0)
            continue;
        unsigned char byte;
        DWORD count = 0;
        ASSERT_TRUE(ReadFile(port, &byte, 1, &count, nullptr));
        ASSERT_EQ(count, 1u);
        received.push_back(byte);
    }
    EXPECT_EQ(received, all);
    COMSTAT status;
    ASSERT_TRUE(ClearCommError(port, nullptr, &status));
    EXPECT_EQ(status.cbInQue, 0u);
}

TEST_F(PosixLayer, BytesSentBeforeTheOpenAreNotReceived)
{
    for (bool raw_before : {true, false}) {
        SCOPED_TRACE(raw_before ? "raw line" : "line in terminal mode");
        if (raw_before) {
            struct termios line = slave_termios();
            cfmakeraw(&line);
            ASSERT_EQ(tcsetattr(peer.slave, TCSANOW, &line), 0);
        }
        write_bytes(peer.master, {0x11, 0x22, 0x33});
        usleep(50000); // the bytes reach the line's queue
        open_raw(9600);
        COMSTAT status;
        ASSERT_TRUE(ClearCommError(port, nullptr, &status));
        EXPECT_EQ(status.cbInQue, 0u);
        write_bytes(peer.master, {0x44});
        unsigned char byte = 0;
        DWORD count = 0;
        ASSERT_TRUE(ReadFile(port, &byte, 1, &count, nullptr));
        EXPECT_EQ(byte, 0x44);
        CloseHandle(port);
        port = INVALID_HANDLE_VALUE;
        pty_close(peer);
        peer = pty_open();
        port_map(config_home, 7, peer.slave_path);
    }
}

TEST_F(PosixLayer, QueueCountCoversWhatWasReadAhead)
{
    open_raw(9600);
    write_bytes(peer.master, {1, 2, 3, 4, 5});
    usleep(50000);
    COMSTAT status;
    ASSERT_TRUE(ClearCommError(port, nullptr, &status));
    EXPECT_EQ(status.cbInQue, 5u);
    unsigned char bytes[5] = {};
    DWORD count = 0;
    // A read larger than what was read ahead takes the rest from the line.
    ASSERT_TRUE(ReadFile(port, bytes, 2, &count, nullptr));
    ASSERT_TRUE(ClearCommError(port, nullptr, &status));
    EXPECT_EQ(status.cbInQue, 3u);
    write_bytes(peer.master, {6});
    unsigned char rest[4] = {};
    ASSERT_TRUE(ReadFile(port, rest, 4, &count, nullptr));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::vector<unsigned char>(rest, rest + 4), (std::vector<unsigned char>{3, 4, 5, 6}));
}

TEST_F(PosixLayer, LargeWriteArrivesWholeAndInOrder)
{
    open_raw(115200);
    std::vector<unsigned char> data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (unsigned char)(i * 7 + i / 251);
    std::vector<unsigned char> arrived;
    // The line buffer holds a few KiB, so the write goes out in many pieces
    // while the device side keeps reading.
    std::thread device([&] { arrived = read_bytes(peer.master, data.size(), 5000); });
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(port, data.data(), (DWORD)data.size(), &written, nullptr));
    device.join();
    EXPECT_EQ(written, data.size());
    EXPECT_TRUE(arrived == data);

    EXPECT_TRUE(WriteFile(port, data.data(), 0, &written, nullptr));
    EXPECT_EQ(written, 0u);
}

TEST_F(PosixLayer, WriteToAVanishedDeviceFails)
{
    open_raw(9600);
    close(peer.master);
    peer.master = -1;
    unsigned char frame[4] = {1, 2, 3, 4};
    DWORD written = 99;
    EXPECT_FALSE(WriteFile(port, frame, 4, &written, nullptr));
    EXPECT_EQ(written, 0u);
}

TEST_F(PosixLayer, ClosedOrForeignHandlesAreRefused)
{
    port = open_port(com7);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    HANDLE stale = port;
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    int foreign = 0;
    for (HANDLE handle : {stale, INVALID_HANDLE_VALUE, static_cast<HANDLE>(&foreign)}) {
        DCB dcb;
        COMSTAT status;
        unsigned char byte = 0;
        DWORD count = 0;
        EXPECT_FALSE(SetupComm(handle, 1500, 1500));
        EXPECT_FALSE(GetCommState(handle, &dcb));
        EXPECT_FALSE(SetCommState(handle, &dcb));
        EXPECT_FALSE(ClearCommError(handle, nullptr, &status));
        EXPECT_FALSE(ReadFile(handle, &byte, 1, &count, nullptr));
        EXPECT_FALSE(WriteFile(handle, &byte, 1, &count, nullptr));
        EXPECT_FALSE(CloseHandle(handle));
    }
}

TEST_F(PosixLayer, PortHeldExclusiveByAnotherProgramFailsAndKeepsItsFlag)
{
    // Another program took the device with TIOCEXCL and no lock; root passes
    // TIOCEXCL at the open, so only asking for it keeps us out.
    ASSERT_EQ(ioctl(peer.slave, TIOCEXCL), 0);
    for (DWORD share_mode : {(DWORD)0, (DWORD)FILE_SHARE_READ}) {
        HANDLE handle = CreateFileA(com7, GENERIC_READ | GENERIC_WRITE, share_mode, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(handle, INVALID_HANDLE_VALUE) << "share mode " << share_mode;
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        int exclusive = 0;
        ASSERT_EQ(ioctl(peer.slave, TIOCGEXCL, &exclusive), 0);
        EXPECT_NE(exclusive, 0) << "the other program's flag was cleared";
    }
    ASSERT_EQ(ioctl(peer.slave, TIOCNXCL), 0);
    port = open_port(com7);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
}

// A raw line with XON/XOFF flow control that the device stopped with XOFF.
void stop_with_xoff(const pty_peer &peer)
{
    struct termios line;
    ASSERT_EQ(tcgetattr(peer.slave, &line), 0);
    cfmakeraw(&line);
    line.c_iflag |= IXON;
    ASSERT_EQ(tcsetattr(peer.slave, TCSANOW, &line), 0);
    write_bytes(peer.master, {0x13});
    usleep(50000); // the line discipline has taken the XOFF
}

TEST_F(PosixLayer, OutputStoppedBeforeTheOpenFlowsAgain)
{
    stop_with_xoff(peer);
    open_raw(9600);
    DCB dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.fOutX, 1u) << "the flow control is the line's own and stays";

    const std::vector<unsigned char> frame = {1, 2, 3};
    DWORD written = 0;
    std::thread writer([&] { WriteFile(port, frame.data(), (DWORD)frame.size(), &written, nullptr); });
    std::vector<unsigned char> arrived = read_bytes(peer.master, frame.size(), 2000);
    if (arrived.empty()) // still stopped: let the write end
        write_bytes(peer.master, {0x11});
    writer.join();
    EXPECT_EQ(arrived, frame);
}

TEST_F(PosixLayer, ParityIsTakenOnEveryOpenOfAPseudoTerminal)
{
    // A pseudo-terminal has no parity bit and drops it from its settings; the
    // next open finds it gone and must still take the parity it is given.
    for (int parity : {EVENPARITY, ODDPARITY, EVENPARITY, NOPARITY, EVENPARITY}) {
        SCOPED_TRACE(testing::Message() << "parity " << parity);
        port = open_port(com7);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        for (int call = 0; call < 2; ++call) {
            DCB dcb;
            ASSERT_TRUE(GetCommState(port, &dcb));
            dcb.BaudRate = 9600;
            dcb.ByteSize = 8;
            dcb.Parity = (BYTE)parity;
            dcb.StopBits = ONESTOPBIT;
            dcb.fRtsControl = RTS_CONTROL_TOGGLE;
            EXPECT_TRUE(SetCommState(port, &dcb)) << "call " << call;
        }
        CloseHandle(port);
        port = INVALID_HANDLE_VALUE;
    }
}

// The port folder under a private XDG_CONFIG_HOME; HOME and XDG_CONFIG_HOME
// are as they were after each test.
class PortFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int i = 0; i < 2; ++i) {
            const char *value = getenv(variables[i]);
            saved_set[i] = value != nullptr;
            saved[i] = value != nullptr ? value : "";
        }
        config_home = port_folder_create();
        setenv("XDG_CONFIG_HOME", config_home.c_str(), 1);
    }
    void TearDown() override
    {
        for (int i = 0; i < 2; ++i) {
            if (saved_set[i])
                setenv(variables[i], saved[i].c_str(), 1);
            else
                unsetenv(variables[i]);
        }
        chmod((config_home + "/kobrel/ports").c_str(), 0700);
        port_folder_remove(config_home);
    }

    const char *variables[2] = {"HOME", "XDG_CONFIG_HOME"};
    std::string saved[2];
    bool saved_set[2] = {};
    std::string config_home;
};

TEST_F(PortFolder, OnlyAMissingEntryFallsBackToTheSerialDevice)
{
    // Any other failure to look at the entry leaves it unknown: falling back
    // would open another device (COM1 is often a console).
    const std::string long_name(300, 'a');
    const struct {
        const char *what;
        std::string config_home; // "" for neither XDG_CONFIG_HOME nor HOME
        int error;               // 0: falls back
        bool root_passes;        // root is never refused for permissions
    } cases[] = {
        {"no entry", "~", 0, false},
        {"no kobrel folder", "~/elsewhere", 0, false},
        {"neither variable set", "", 0, false},
        {"a file where a folder should be", "~/plain", ENOTDIR, false},
        {"a link loop above the entry", "~/loop", ELOOP, false},
        {"a folder name longer than the system takes", "~/" + long_name, ENAMETOOLONG, false},
        {"a path longer than the buffer", "/" + std::string(5000, 'b'), ENAMETOOLONG, false},
        {"a folder that may not be read", "~", EACCES, true},
    };
    ASSERT_EQ(system(("echo data > '" + config_home + "/plain'").c_str()), 0);
    ASSERT_EQ(symlink((config_home + "/loop").c_str(), (config_home + "/loop").c_str()), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.root_passes && geteuid() == 0)
            continue; // checked where the tests do not run as root
        std::string home = c.config_home;
        if (home.rfind("~", 0) == 0)
            home = config_home + home.substr(1);
        if (home.empty()) {
            unsetenv("XDG_CONFIG_HOME");
            unsetenv("HOME");
        } else {
            setenv("XDG_CONFIG_HOME", home.c_str(), 1);
        }
        if (c.error == EACCES) {
            ASSERT_EQ(chmod((config_home + "/kobrel/ports").c_str(), 0), 0);
        }

        char path[4096];
        errno = 0;
        bool found = port_device_path(8, path, sizeof path);
        if (c.error == 0) {
            EXPECT_TRUE(found);
            EXPECT_STREQ(path, "/dev/ttyS7");
        } else {
            EXPECT_FALSE(found) << "fell back to " << path;
            EXPECT_EQ(errno, c.error);
        }
        chmod((config_home + "/kobrel/ports").c_str(), 0700);
    }
}

TEST_F(PortFolder, EntryIsTheDeviceWhateverItLeadsTo)
{
    // An entry that leads nowhere is still the user's choice for the number.
    port_map(config_home, 8, config_home + "/missing");
    port_map(config_home, 0, "/dev/null");
    for (uint32_t number : {8u, 0u}) {
        char path[4096];
        ASSERT_TRUE(port_device_path(number, path, sizeof path)) << number;
        EXPECT_EQ(std::string(path), config_home + "/kobrel/ports/com" + std::to_string(number));
    }
    // COM0 has no serial device below it.
    unlink((config_home + "/kobrel/ports/com0").c_str());
    char path[4096];
    EXPECT_FALSE(port_device_path(0, path, sizeof path));
}

TEST_F(PortFolder, MakeCreatesTheMissingFolders)
{
    std::string deeper = config_home + "/new/config";
    setenv("XDG_CONFIG_HOME", deeper.c_str(), 1);
    for (int call = 0; call < 2; ++call) { // the second finds them all there
        char path[4096];
        ASSERT_TRUE(port_folder_make(path, sizeof path)) << call << ": " << strerror(errno);
        EXPECT_EQ(std::string(path), deeper + "/kobrel/ports");
        struct stat folder;
        ASSERT_EQ(stat(path, &folder), 0);
        EXPECT_TRUE(S_ISDIR(folder.st_mode));
    }
    std::string plain = config_home + "/plain";
    ASSERT_EQ(system(("echo data > '" + plain + "'").c_str()), 0);
    setenv("XDG_CONFIG_HOME", plain.c_str(), 1);
    char path[4096];
    EXPECT_FALSE(port_folder_make(path, sizeof path));
}

TEST(TickCount, CountsMillisecondsForward)
{
    DWORD start = GetTickCount();
    usleep(30000);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 29u);
    EXPECT_LT(elapsed, 5000u);
}

} // namespace
