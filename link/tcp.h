// Socket layer: thin functions over one IPv4 TCP socket at a time. Every
// socket it creates or accepts is non-blocking with address reuse; every
// wait is bounded in milliseconds. No state of its own.
#pragma once
#include <cstdint>

int32_t TCP_Startup();   // 0; nothing to prepare on Linux
int32_t TCP_Cleanup();   // 0; nothing to release on Linux
// New non-blocking stream socket, or -1.
int TCP_CreateSocket();
// Closes sock unless it is -1.
void TCP_CloseSocket(int sock);
// What failed, for the throttled failure lines (core/log.h): connecting to
// the server, and the link once it is up.
constexpr const char *TCP_PLACE_CONNECT = "server connect";
constexpr const char *TCP_PLACE_LINK = "server link";

// 0: connected within timeoutMs; 1: host does not resolve (socket
// untouched); -1: not connected in time, refused, or the wait failed, with
// errno saying why. A failure's line is printed as LOG_Failure at
// TCP_PLACE_CONNECT decides; a success ends that place's failures.
int32_t TCP_Connect(int sock, const char *host, uint16_t port, int timeoutMs);
// >0 bytes received (rest of buf zeroed); 0 nothing within timeoutMs (buf
// unchanged); -1 the wait or the receive failed, or the peer has closed
// the connection (buf zeroed): an orderly close is a failure, not silence;
// errno is then 0.
int32_t TCP_Recv(int sock, uint8_t *buf, int32_t len, int timeoutMs);
// TCP_Recv that also returns 0 (buf unchanged) as soon as wakeFd (-1: none)
// is readable, so a thread waiting for data can be woken.
int32_t TCP_RecvWake(int sock, uint8_t *buf, int32_t len, int timeoutMs, int wakeFd);
// Whether the peer has sent what is not read yet, without reading or
// waiting: 1 bytes wait, 0 nothing waits, -1 the peer has closed the
// connection (errno 0) or it failed.
int32_t TCP_Peek(int sock);
// Sends the whole message, waiting up to 1 s in all for room when the peer
// is slow; never raises SIGPIPE. Bytes sent (len when complete), -1 when
// nothing could be sent, 0 without sending for sock -1.
int32_t TCP_Send(int sock, const uint8_t *data, int32_t len);
// 0 listening; 1 bind or listen failed; -1 sock is -1.
int32_t TCP_BindListen(int sock, uint16_t port);
// Accepted non-blocking socket, or -1.
int TCP_Accept(int listenSock);
