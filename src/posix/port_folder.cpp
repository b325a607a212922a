#include "posix/port_folder.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace {

// snprintf's result as success, or ENAMETOOLONG for a path that was cut.
bool fitted(int written, size_t size)
{
    if (written >= 0 && (size_t)written < size)
        return true;
    errno = ENAMETOOLONG;
    return false;
}

} // namespace

bool port_folder_path(char *out, size_t size)
{
    const char *config = getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] != '\0')
        return fitted(snprintf(out, size, "%s/kobrel/ports", config), size);
    const char *home = getenv("HOME");
    if (home != nullptr && home[0] != '\0')
        return fitted(snprintf(out, size, "%s/.config/kobrel/ports", home), size);
    errno = ENOENT;
    return false;
}

bool port_entry_path(uint32_t number, char *out, size_t size)
{
    if (!port_folder_path(out, size))
        return false;
    size_t used = strlen(out);
    return fitted(snprintf(out + used, size - used, "/com%lu", (unsigned long)number), size - used);
}

bool port_folder_make(char *out, size_t size)
{
    if (!port_folder_path(out, size))
        return false;
    // Each level from the top; the path is cut short in place at each slash.
    for (char *slash = strchr(out + 1, '/');; slash = strchr(slash + 1, '/')) {
        if (slash != nullptr)
            *slash = '\0';
        bool made = mkdir(out, 0755) == 0 || errno == EEXIST;
        if (slash == nullptr)
            return made;
        *slash = '/';
        if (!made)
            return false;
    }
}

port_choice port_choose(uint32_t number, int lookup_errno)
{
    if (lookup_errno == 0)
        return PORT_CHOICE_ENTRY;
    // Only an entry known to be missing leaves the number to the serial
    // device. A folder that could not be looked at (unreadable, a file in
    // the way, a link loop, a path too long) may well hold the entry, and
    // the serial device is another device altogether, often a console.
    if (lookup_errno == ENOENT && number > 0)
        return PORT_CHOICE_SERIAL_DEVICE;
    return PORT_CHOICE_NONE;
}

bool port_device_path(uint32_t number, char *out, size_t size)
{
    int lookup_errno = 0;
    struct stat entry;
    if (!port_entry_path(number, out, size) || lstat(out, &entry) != 0)
        lookup_errno = errno;
    switch (port_choose(number, lookup_errno)) {
    case PORT_CHOICE_ENTRY: return true;
    case PORT_CHOICE_SERIAL_DEVICE:
        return fitted(snprintf(out, size, "/dev/ttyS%lu", (unsigned long)number - 1), size);
    case PORT_CHOICE_NONE: break;
    }
    errno = lookup_errno != 0 ? lookup_errno : ENOENT;
    return false;
}
