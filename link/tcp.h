// Socket layer: thin functions over one TCP socket at a time, IPv4 or
// IPv6. Every socket it creates or accepts is non-blocking with address
// reuse; every wait is bounded in milliseconds. No state of its own.
#pragma once
#include "core/common.h"

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

int32_t TCP_Startup();   // 0; nothing to prepare on Linux
int32_t TCP_Cleanup();   // 0; nothing to release on Linux
// New non-blocking IPv4 stream socket, or -1.
int TCP_CreateSocket();

// One address of a server, as the resolver gave it, port included.
using TcpAddr = CommAddr;
// Addresses of a name that one connection attempt tries at most.
constexpr int32_t TCP_ADDR_MAX = 8;
// Longest text of TcpAddr's: "[" IPv6 "]:" port.
constexpr size_t TCP_ADDR_TEXT_SIZE = 56;
// "a.b.c.d:port" or "[IPv6]:port" into buf (always terminated).
void TCP_FormatAddr(const TcpAddr *a, char *buf, size_t size);
// "IPv4" or "IPv6".
const char *TCP_Family(const TcpAddr *a);
// Closes sock unless it is -1.
void TCP_CloseSocket(int sock);
// What failed, for the throttled failure lines (core/log.h): connecting to
// the server, and the link once it is up.
constexpr const char *TCP_PLACE_CONNECT = "server connect";
constexpr const char *TCP_PLACE_LINK = "server link";

// Resolves host (a name, or an IPv4 or IPv6 address, which is not looked
// up) with port into addrs[0..max), in the system's order of preference;
// blocks as long as the resolver does. The count (1 to max); 0 when the
// host does not resolve, after "[tcp:]gethostbyname fail" if LOG_Failure at
// place says so; addrs past the count unchanged.
int32_t TCP_Resolve(const char *host, uint16_t port, TcpAddr *addrs, int32_t max, const char *place);
// Connects to the first of addrs[0..n) that answers, each on a new socket
// of its family and given an equal share of what is left of timeoutMs.
// The connected socket, with *used its address's index; -1 when none
// connected (errno of the last failure, *used the last address tried);
// -2 when no socket could be made (errno says why; nothing was tried).
int TCP_ConnectAny(const TcpAddr *addrs, int32_t n, int timeoutMs, int32_t *used);
// TCP_Resolve, then TCP_ConnectAny: 0 connected, *sock the socket and
// *addr its address; 1 host does not resolve; -1 not connected (errno, and
// *addr the last address tried), after "fail in TCP_Connect" if
// LOG_Failure at place says so; -2 no socket (errno). A success ends the
// place's failures unless settle is false (the caller says when the
// connection is usable: after its TLS handshake). *sock stays -1 and *addr
// unchanged where not said.
int32_t TCP_ConnectServer(const char *host, uint16_t port, int timeoutMs, const char *place, int *sock,
                          TcpAddr *addr, bool settle = true);
// Connects sock to the first address of host of sock's family: 0 connected
// within timeoutMs; 1 no such address (socket untouched); -1 not connected
// in time, refused, or the wait failed, with errno saying why. Lines and
// place as TCP_ConnectServer at TCP_PLACE_CONNECT.
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
