/* What the bridge's three parts (the driver in Wine, the sync tool that configures
 * it, and the relay on the Linux side) agree on. Plain C: the driver is C.
 *
 * Sync tool -> driver, IOCTL_BRIDGE_CONFIGURE on \\.\QuellixBridge, all integers
 * unsigned 32-bit little-endian:
 *   port (the relay's TCP port on 127.0.0.1), the 16-byte relay token, count,
 *   then count interfaces: index, link name length in UTF-16 units, socket path
 *   length in bytes, the link name (UTF-16, "\??\ROOT#..."), the socket path bytes.
 * The interfaces replace the previous set: an interface that is not named again
 * loses its link and no longer opens.
 *
 * Driver -> relay, once per open handle, on a new TCP connection:
 *   the 16-byte token, the socket path length (u32 LE), the path bytes.
 * From then on the relay copies bytes both ways between that connection and the
 * device's Unix socket, so the driver speaks the device contract itself. When the
 * socket cannot be reached the relay answers a 4-byte open status of its own (2 no
 * such file, 5 permission denied, 31 any other cause) and closes. */
#ifndef QUELLIX_WINE_BRIDGE_PROTOCOL_H
#define QUELLIX_WINE_BRIDGE_PROTOCOL_H

#define BRIDGE_CONTROL_DEVICE L"\\Device\\QuellixBridge"
#define BRIDGE_CONTROL_LINK L"\\??\\QuellixBridge"
#define BRIDGE_CONTROL_PATH L"\\\\.\\QuellixBridge"
#define BRIDGE_SERVICE L"quellixbridge"

/* CTL_CODE(FILE_DEVICE_UNKNOWN, 0xB00, METHOD_BUFFERED, FILE_ANY_ACCESS) */
#define IOCTL_BRIDGE_CONFIGURE 0x0022C000u

#define BRIDGE_TOKEN_SIZE 16
#define BRIDGE_MAX_INTERFACES 64
#define BRIDGE_MAX_LINK_CHARS 200
/* Longer than a Unix socket path can be: the relay answers such a path as the
 * Linux client does (31), so it is carried as it is. */
#define BRIDGE_MAX_SOCKET_PATH 1024

/* The device contract's limit on a frame's input or output. */
#define BRIDGE_MAX_FRAME_BYTES (1024u * 1024u)

#endif
