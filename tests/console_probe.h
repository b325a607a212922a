// What console_probe prints in its "text" scene, shared with the tests that
// read it back: long lines and many line feeds that cross every block
// boundary of the stream, carriage returns of their own, and every byte value
// but 0.
#ifndef KOBREL_TESTS_CONSOLE_PROBE_H
#define KOBREL_TESTS_CONSOLE_PROBE_H

#include <string>

inline std::string console_probe_text()
{
    std::string text = "Opening port '\\\\.\\COM3'\nSending data:\r\n\n\r\r\nend";
    for (int i = 0; i < 5000; ++i)
        text += std::string((size_t)(i % 97), 'x') + "\n";
    text += std::string(100000, 'y') + "\n\n";
    for (int value = 1; value < 256; ++value)
        text += (char)value;
    return text;
}

// A text as the console stream delivers it: every LF as CR LF.
inline std::string with_crlf(const std::string &text)
{
    std::string translated;
    for (char c : text) {
        if (c == '\n')
            translated += '\r';
        translated += c;
    }
    return translated;
}

// The interrupt scene prints this much before it waits to be interrupted.
const char console_probe_printed[] = "0x01, 0x02, \n0x03, ";

#endif
