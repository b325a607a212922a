// Stands in for the tool in the tests of standard output and interrupts, on
// every platform: sets the console up as the tool does, then plays the scene
// named by its argument.
//
//   text       prints console_probe_text() and ends normally
//   interrupt  prints console_probe_printed, reports "waiting" on standard
//              error and then polls the tick counter, as the reply capture
//              does, for 20 s; an interrupt is expected to end it before
//   lost-output prints 800 kB, more than any buffer holds, to an output
//              whose reader the test has closed: the console ends the run
// <stdio.h> before any C++ header, as in the tool: printf is then the C
// runtime's own on Windows too.
#include <stdio.h>
#include <string.h>

#include "comm_api.h"
#include "console.h"
#include "console_probe.h"

int main(int argc, char *argv[])
{
    console_setup();
    const char *scene = argc > 1 ? argv[1] : "";

    if (strcmp(scene, "text") == 0) {
        printf("%s", console_probe_text().c_str());
        return 0;
    }
    if (strcmp(scene, "interrupt") == 0) {
        printf("%s", console_probe_printed);
        fprintf(stderr, "waiting\n");
        fflush(stderr);
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < 20000) {
        }
        printf("never printed");
        return 0;
    }
    if (strcmp(scene, "lost-output") == 0) {
        for (int i = 0; i < 16384; ++i)
            printf("0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, \n", i & 0xFF, 1, 2, 3, 4, 5, 6);
        return 0;
    }
    fprintf(stderr, "unknown scene '%s'\n", scene);
    return 2;
}
