// The port folder, ${XDG_CONFIG_HOME:-$HOME/.config}/kobrel/ports: its entry
// com<n> (usually a link) is the device for COM<n>. A number without an entry
// is /dev/ttyS<n-1>, as Wine and Cygwin number the serial devices. The layer
// opens ports by these rules and the simulator links its device by them.
#ifndef KOBREL_POSIX_PORT_FOLDER_H
#define KOBREL_POSIX_PORT_FOLDER_H

#include <stddef.h>
#include <stdint.h>

// The port folder's path in out (no trailing slash). False with errno ENOENT
// when neither XDG_CONFIG_HOME nor HOME is set (there is no folder), with
// ENAMETOOLONG when the path does not fit in size.
bool port_folder_path(char *out, size_t size);

// The path of the entry com<number> in out; false as port_folder_path.
bool port_entry_path(uint32_t number, char *out, size_t size);

// Creates the port folder and the folders above it that are missing; its path
// in out. False with errno as port_folder_path or mkdir left it.
bool port_folder_make(char *out, size_t size);

// What COM<number> is, from how looking at its entry went: lookup_errno is 0
// when the entry exists, else the errno of the look. Only ENOENT (no entry,
// or no folder at all) leads to the serial device.
enum port_choice {
    PORT_CHOICE_ENTRY,         // the entry itself
    PORT_CHOICE_SERIAL_DEVICE, // /dev/ttyS<number-1>
    PORT_CHOICE_NONE,          // no device: the open fails
};
port_choice port_choose(uint32_t number, int lookup_errno);

// The device path for COM<number> in out. False when COM<number> has none;
// errno then tells why.
bool port_device_path(uint32_t number, char *out, size_t size);

#endif
