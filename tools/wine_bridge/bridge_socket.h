/* Blocking loopback TCP for the bridge driver. A file of its own with a plain C
 * interface: the driver-kit headers and Winsock's cannot be included together. */
#ifndef QUELLIX_WINE_BRIDGE_SOCKET_H
#define QUELLIX_WINE_BRIDGE_SOCKET_H

typedef unsigned long long bridge_socket;
#define BRIDGE_NO_SOCKET (~0ull)

/* Winsock for the driver's lifetime; non-zero when it started. */
int bridge_net_start(void);
void bridge_net_stop(void);

/* A connection to 127.0.0.1:port whose sends and receives give up after timeoutMs;
 * BRIDGE_NO_SOCKET when it cannot be made. */
bridge_socket bridge_connect(unsigned short port, unsigned timeoutMs);
/* Non-zero when all size bytes went out / came in. */
int bridge_send_all(bridge_socket s, const void* data, unsigned size);
int bridge_receive_all(bridge_socket s, void* data, unsigned size);
void bridge_close(bridge_socket s);

#endif
