#include "stdout_capture.h"

#include <stdio.h>
#include <stdlib.h>

#if defined(_WIN32)
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#define fileno _fileno
#else
#include <unistd.h>
#endif

static FILE *capture_file;
static int saved_stdout = -1;

void stdout_capture_begin(void)
{
    fflush(stdout);
    capture_file = tmpfile();
    saved_stdout = dup(fileno(stdout));
    if (capture_file == NULL || saved_stdout < 0 || dup2(fileno(capture_file), fileno(stdout)) < 0) {
        fprintf(stderr, "stdout capture: cannot redirect standard output\n");
        abort();
    }
}

std::string stdout_capture_end(void)
{
    fflush(stdout);
    dup2(saved_stdout, fileno(stdout));
    close(saved_stdout);
    saved_stdout = -1;

    std::string captured;
    rewind(capture_file);
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, capture_file)) > 0) {
        captured.append(chunk, got);
    }
    fclose(capture_file);
    capture_file = NULL;
    return captured;
}
