// Pseudo-terminal peers for the tests that drive the POSIX layer and the real
// binary: the test holds the master side (the "device") and maps the slave
// into a private port folder, so nothing outside a temporary folder is touched.
#ifndef KOBREL_TESTS_PTY_PEER_H
#define KOBREL_TESTS_PTY_PEER_H

#include <string>
#include <vector>

struct pty_peer {
    int master = -1;
    int slave = -1; // kept open so the line outlives the program under test
    std::string slave_path;
};

// A fresh pseudo-terminal, in the terminal (canonical) mode it starts with.
pty_peer pty_open();
void pty_close(pty_peer &peer);

// A temporary XDG_CONFIG_HOME with an empty port folder; removed by
// port_folder_remove.
std::string port_folder_create();
void port_folder_remove(const std::string &config_home);
// Links com<number> in the port folder to target.
void port_map(const std::string &config_home, int number, const std::string &target);

// Reads exactly count bytes from fd, waiting at most timeout_ms for each;
// returns what arrived.
std::vector<unsigned char> read_bytes(int fd, size_t count, int timeout_ms);
void write_bytes(int fd, const std::vector<unsigned char> &bytes);
// Reads from fd until text has arrived or timeout_ms passed for a byte;
// returns what was read.
std::string read_until(int fd, const std::string &text, int timeout_ms);
// Everything until end of file, waiting at most timeout_ms for each piece.
std::string read_to_end(int fd, int timeout_ms);

#endif
