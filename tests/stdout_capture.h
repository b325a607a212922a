// Captures the exact bytes a piece of code writes to standard output, by
// pointing the stdout file descriptor at a temporary file for a while.
#ifndef KOBREL_TESTS_STDOUT_CAPTURE_H
#define KOBREL_TESTS_STDOUT_CAPTURE_H

#include <string>

// Output printed between the two calls is collected instead of shown.
void stdout_capture_begin(void);
std::string stdout_capture_end(void);

#endif
