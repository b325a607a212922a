// The RS-485 turnaround on the 16550 rig, for bench/run: how long after the
// last stop bit of a frame RTS goes down, and how often a device answering
// at t3.5 would have found RTS still up, for kobrel and for the methods its
// peers use on the same VM:
//   drain    write, tcdrain, drop RTS (pyserial's RS-485 mode and tio do this)
//   mbpoll   libmodbus's software RTS (mbpoll -F: RTS up while sending)
//
//   rig_bench [--quick]
//
// One line per row:
//   <method> <baud> <parity> <frame bytes> <exchanges> <drop min/median/max us>
//   <drop min/median/max characters> <collisions> <frames with a byte sent
//   while RTS was low>
// and, for kobrel, how long RTS stays up after the open before the settings
// lower it:
//   open <exchanges> <min/median/max us>
#include "uart_rig.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct line_case {
    const char *baud;
    char parity; // kobrel's letter
    const char *mbpoll_parity;
};

const line_case lines[] = {{"9600", 'e', "even"}, {"115200", 'n', "none"}};
const size_t frame_lengths[] = {8, 104};

std::string hex(unsigned value)
{
    char text[8];
    snprintf(text, sizeof text, "%02x", value);
    return text;
}

// The frame of a row: a Modbus read of one register (8 bytes), or 104 bytes.
std::vector<unsigned> frame(size_t length)
{
    if (length == 8)
        return {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
    std::vector<unsigned> bytes;
    for (unsigned i = 0; i < length; i++)
        bytes.push_back(i);
    return bytes;
}

std::string command(const std::string &method, const line_case &line, size_t length)
{
    std::string text;
    if (method == "kobrel") {
        text = std::string("exchange NAME 2 ") + line.baud + " " + line.parity;
        for (unsigned byte : frame(length))
            text += " " + std::to_string(byte);
    } else if (method == "drain") {
        text = std::string("run NAME rig-guest drain-send /dev/ttyS1 ") + line.baud + " " + line.parity;
        for (unsigned byte : frame(length))
            text += " " + hex(byte);
    } else {
        // A read of one register, or a write of 48 (105 bytes: the nearest
        // a Modbus frame comes to 104).
        text = std::string("run NAME mbpoll -m rtu -a 1 -b ") + line.baud + " -P " + line.mbpoll_parity +
               " -F -1 -o 0.3 -0 -r 0 /dev/ttyS1";
        if (length != 8)
            for (int i = 0; i < 48; i++)
                text += " " + std::to_string(i);
    }
    return text;
}

double at(const std::vector<double> &sorted, double fraction)
{
    return sorted[static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5)];
}

} // namespace

int main(int argc, char **argv)
{
    const bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
    const int exchanges = quick ? 3 : 20;
    std::string why_not;
    if (!rig_available(&why_not)) {
        fprintf(stderr, "rig_bench: %s\n", why_not.c_str());
        return 2;
    }
    std::vector<double> opened;
    for (const char *method : {"kobrel", "drain", "mbpoll"}) {
        rig_setup setup;
        setup.reply = {0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B};
        for (const line_case &line : lines) {
            for (size_t length : frame_lengths) {
                std::string base = std::string(method) + "_" + line.baud + "_" + std::to_string(length);
                for (int i = 0; i < exchanges; i++) {
                    std::string text = command(method, line, length);
                    text.replace(text.find("NAME"), 4, base + "_" + std::to_string(i));
                    setup.script += text + "\n";
                }
            }
        }
        rig_boot_result boot = rig_boot(setup);
        if (!boot.error.empty()) {
            fprintf(stderr, "rig_bench: %s: %s\n", method, boot.error.c_str());
            return 1;
        }
        for (const line_case &line : lines) {
            for (size_t length : frame_lengths) {
                std::string base = std::string(method) + "_" + line.baud + "_" + std::to_string(length);
                std::vector<double> drops_us, drops_c, open_us;
                int collisions = 0, rts_low = 0;
                size_t bytes = 0;
                for (int i = 0; i < exchanges; i++) {
                    rig_exchange e = rig_exchange_named(boot, base + "_" + std::to_string(i));
                    if (!e.found)
                        continue;
                    rig_turnaround t = rig_turnaround_of(boot, e);
                    double up_s;
                    if (rig_rts_up_after_open(e, &up_s))
                        open_us.push_back(up_s * 1e6);
                    if (!t.frame_seen || !t.rts_dropped)
                        continue;
                    bytes = e.wire.size();
                    drops_us.push_back(t.drop_after_s * 1e6);
                    drops_c.push_back(t.drop_after_s / t.character_s);
                    if (t.drop_after_s > t.t35_s)
                        collisions++;
                    if (t.byte_with_rts_low || t.rts_down_inside_frame || !t.rts_up_before_first_byte)
                        rts_low++;
                }
                if (drops_us.empty()) {
                    printf("%s %s %c %zu 0 - - - - - - - -\n", method, line.baud, line.parity, length);
                    continue;
                }
                std::sort(drops_us.begin(), drops_us.end());
                std::sort(drops_c.begin(), drops_c.end());
                printf("%s %s %c %zu %zu %.0f %.0f %.0f %.2f %.2f %.2f %d %d\n", method, line.baud,
                       line.parity, bytes, drops_us.size(), drops_us.front(), at(drops_us, 0.5),
                       drops_us.back(), drops_c.front(), at(drops_c, 0.5), drops_c.back(), collisions,
                       rts_low);
                if (strcmp(method, "kobrel") == 0 && !open_us.empty()) {
                    opened.insert(opened.end(), open_us.begin(), open_us.end());
                }
                fflush(stdout);
            }
        }
    }
    if (!opened.empty()) {
        std::sort(opened.begin(), opened.end());
        printf("open %zu %.0f %.0f %.0f\n", opened.size(), opened.front(), at(opened, 0.5), opened.back());
    }
    return 0;
}
