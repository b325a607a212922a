#include "pty_peer.h"

#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

pty_peer pty_open()
{
    pty_peer peer;
    char name[256];
    if (openpty(&peer.master, &peer.slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("openpty: ") + strerror(errno));
    peer.slave_path = name;
    return peer;
}

void pty_close(pty_peer &peer)
{
    if (peer.master >= 0)
        close(peer.master);
    if (peer.slave >= 0)
        close(peer.slave);
    peer.master = peer.slave = -1;
}

std::string port_folder_create()
{
    char base[] = "/tmp/kobrel-test-XXXXXX";
    if (mkdtemp(base) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    std::string config_home = base;
    mkdir((config_home + "/kobrel").c_str(), 0700);
    mkdir((config_home + "/kobrel/ports").c_str(), 0700);
    return config_home;
}

void port_folder_remove(const std::string &config_home)
{
    std::string command = "rm -rf '" + config_home + "'";
    if (config_home.rfind("/tmp/kobrel-test-", 0) == 0 && system(command.c_str()) != 0)
        throw std::runtime_error("could not remove " + config_home);
}

void port_map(const std::string &config_home, int number, const std::string &target)
{
    std::string link = config_home + "/kobrel/ports/com" + std::to_string(number);
    unlink(link.c_str());
    if (symlink(target.c_str(), link.c_str()) != 0)
        throw std::runtime_error("symlink " + link + ": " + strerror(errno));
}

std::vector<unsigned char> read_bytes(int fd, size_t count, int timeout_ms)
{
    std::vector<unsigned char> bytes;
    unsigned char chunk[4096];
    while (bytes.size() < count) {
        struct pollfd ready = {fd, POLLIN, 0};
        int status = poll(&ready, 1, timeout_ms);
        if (status < 0 && errno == EINTR)
            continue;
        if (status <= 0)
            break;
        size_t wanted = count - bytes.size();
        ssize_t n = read(fd, chunk, wanted < sizeof chunk ? wanted : sizeof chunk);
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

std::string read_to_end(int fd, int timeout_ms)
{
    std::vector<unsigned char> bytes = read_bytes(fd, SIZE_MAX, timeout_ms);
    return std::string(bytes.begin(), bytes.end());
}

std::string read_until(int fd, const std::string &text, int timeout_ms)
{
    std::string seen;
    while (seen.find(text) == std::string::npos) {
        std::vector<unsigned char> more = read_bytes(fd, 1, timeout_ms);
        if (more.empty())
            break;
        seen += (char)more[0];
    }
    return seen;
}

void write_bytes(int fd, const std::vector<unsigned char> &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error(std::string("write: ") + strerror(errno));
        done += (size_t)n;
    }
}
