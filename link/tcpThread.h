// Server link thread: owns the one server connection (connect, login,
// heartbeat, loss detection, dispatch) and the locked send that every
// message to the server goes through. Also the handlers of the server's
// upgrade and identity-change requests (link/requests), which run on this
// thread.
#pragma once
#include <cstdint>
#include "core/common.h"
#include "link/requests.h"

constexpr int32_t TCP_STATE_DISCONNECTED = 0;
constexpr int32_t TCP_STATE_CONNECTED = 1;
constexpr int32_t TCP_STATE_HEARTBEAT_FAIL = 2;
constexpr int32_t TCP_STATE_ONLINE = 3;

constexpr uint16_t TCP_SERVER_PORT = 60928;

// Thread body; arg points to the DataCallback for server data messages
// (may point to null). Returns null when GB_EVENT_EXIT is seen.
void *TCP_Thread(void *arg);
// Sends one whole message to the server under sendMutex; any thread.
// Dropped silently when there is no connection. Returns 0: the message is
// always taken (the uplink DataCallback).
int32_t TCP_SendData(const uint8_t *data, int32_t len);
// 1 while a TCP connection is up (logged in or not), else 0.
int32_t TCP_IsConnectServer();

// Framing faults since start (each dropped the connection), and server
// messages given up as too old (kept by the link for a broken connection,
// or held for a port that took nothing without a link); any thread.
uint32_t TCP_FramingFaults();
uint32_t TCP_GivenUp();
// Counts messages the serial side gave up (waited too long without a link).
void TCP_NoteGivenUp(uint32_t msgs);
// Connections made since start; any thread. Data taken from the link
// during one connection, or while disconnected after it, carries its
// number: once another connection is up, such data is a broken
// connection's.
uint32_t TCP_Generation();
// Link thread, inside the data callback: the monotonic ms from which the
// message being handed on counts its age (the break of the connection it
// came over, for one that connection left behind), or -1: from now.
int64_t TCP_HandOnSinceMs();

// Steps of the link thread, exposed for tests.
// Builds the 31-byte online request (version, identity) into buf; returns 31.
int32_t tcpBuildOnlineRequest(uint8_t *buf);
// Dispatches one whole received message of len bytes (fields it does not
// reach read as zero). -1 for len <= 0 or a wrong version byte (the stream
// never hands such a message on: it is a framing fault); 1 for a data
// message the data callback has no room for (offer it again later); else 0.
int32_t tcpProcessRecved(const uint8_t *msg, int32_t len);
