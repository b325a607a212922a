// The text kobrel prints for a run of bytes: "0x%02X, " each, no line end.
#ifndef KOBREL_TESTS_BYTE_ECHO_H
#define KOBREL_TESTS_BYTE_ECHO_H

#include <stdio.h>

#include <string>
#include <vector>

inline std::string byte_echo(const std::vector<unsigned char> &values)
{
    std::string text;
    for (unsigned char value : values) {
        char piece[8];
        snprintf(piece, sizeof piece, "0x%02X, ", value);
        text += piece;
    }
    return text;
}

#endif
