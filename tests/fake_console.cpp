// The console as the unit tests want it: standard output left as the test
// harness has it (captured, untranslated), no signal handling.
#include "console.h"

void console_setup(void)
{
}
