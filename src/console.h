// Standard output as the tool's users see it on every platform: a text
// stream (each LF leaves as CR LF), unbuffered on a terminal and buffered to
// a file or pipe, and an interrupt that still delivers what was printed and
// releases the port before the process ends as interrupted.
#ifndef KOBREL_CONSOLE_H
#define KOBREL_CONSOLE_H

// Called once by the entry point before anything is printed.
void console_setup(void);

#endif
