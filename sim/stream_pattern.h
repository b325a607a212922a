// The bytes of the simulator's stream answer. Byte k is k + k/256 (mod 256):
// a run of lost, repeated or reordered bytes changes what follows it, so a
// reader can check a long stream byte for byte.
#ifndef KOBREL_SIM_STREAM_PATTERN_H
#define KOBREL_SIM_STREAM_PATTERN_H

#include <stddef.h>

inline unsigned char stream_byte(size_t index)
{
    return static_cast<unsigned char>((index + index / 256) & 0xFF);
}

#endif
