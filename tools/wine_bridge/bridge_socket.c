/* Loopback TCP through Winsock, for the bridge driver (see bridge_socket.h). */
#include <winsock2.h>
#include <ws2tcpip.h>

#include "bridge_socket.h"

int bridge_net_start(void) {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void bridge_net_stop(void) {
    WSACleanup();
}

bridge_socket bridge_connect(unsigned short port, unsigned timeoutMs) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return BRIDGE_NO_SOCKET;
    }
    DWORD timeout = timeoutMs;
    BOOL noDelay = TRUE;
    struct sockaddr_in address;
    ZeroMemory(&address, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeout, sizeof timeout) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, (const char*)&timeout, sizeof timeout) != 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&noDelay, sizeof noDelay) != 0 ||
        connect(s, (const struct sockaddr*)&address, sizeof address) != 0) {
        closesocket(s);
        return BRIDGE_NO_SOCKET;
    }
    return (bridge_socket)s;
}

/* Moves size bytes at at through s, in chunks, until all have moved; 0 when the
 * connection fails or closes first. */
static int transfer_all(bridge_socket s, char* at, unsigned size, int sending) {
    while (size > 0) {
        const int chunk = size > 0x10000u ? 0x10000 : (int)size;
        const int n = sending ? send((SOCKET)s, at, chunk, 0) : recv((SOCKET)s, at, chunk, 0);
        if (n <= 0) {
            return 0;
        }
        at += n;
        size -= (unsigned)n;
    }
    return 1;
}

int bridge_send_all(bridge_socket s, const void* data, unsigned size) {
    /* send only reads the bytes. */
    return transfer_all(s, (char*)data, size, 1);
}

int bridge_receive_all(bridge_socket s, void* data, unsigned size) {
    return transfer_all(s, (char*)data, size, 0);
}

void bridge_close(bridge_socket s) {
    if (s != BRIDGE_NO_SOCKET) {
        closesocket((SOCKET)s);
    }
}
