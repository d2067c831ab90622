// Server message format: header, command and result codes, field offsets of
// every message, the two header writers and the cutter that finds where a
// received message ends. Messages carry no common length field: each
// command's own layout says how long it is, and none exceeds MSG_MAX_LEN.
#pragma once
#include <cstdint>

constexpr uint8_t MSG_PROTOCOL_VERSION = 1;
constexpr uint8_t MSG_RESP_FLAG = 0x80;
constexpr uint8_t MSG_CMD_MASK = 0x7F;

constexpr uint8_t MSG_CMD_ONLINE = 0x00;
constexpr uint8_t MSG_CMD_HEARTBEAT = 0x01;
constexpr uint8_t MSG_CMD_UART_DATA = 0x40;
constexpr uint8_t MSG_CMD_UPGRADE = 0x41;
constexpr uint8_t MSG_CMD_DEVINFO = 0x42;

constexpr uint8_t MSG_RESULT_OK = 0;
constexpr uint8_t MSG_RESULT_DEVINFO_FAIL = 1;
constexpr uint8_t MSG_RESULT_ACCEPTED = 6;
constexpr uint8_t MSG_RESULT_UPGRADE_FAIL = 7;

constexpr int32_t MSG_MAX_LEN = 1024;
constexpr int32_t MSG_DATA_HEAD_LEN = 10;
constexpr int32_t MSG_DATA_MAX = MSG_MAX_LEN - MSG_DATA_HEAD_LEN;  // 1014
constexpr int32_t MSG_RESULT_LEN = 3;
constexpr int32_t MSG_HEARTBEAT_LEN = 2;
constexpr int32_t MSG_ONLINE_LEN = 31;

// Header and result
constexpr int32_t MSG_OFF_VERSION = 0;
constexpr int32_t MSG_OFF_CMD = 1;
constexpr int32_t MSG_OFF_ERRORCODE = 2;
// Online request
constexpr int32_t MSG_OFF_VERCODE = 2;
constexpr int32_t MSG_OFF_VERNAME = 3;    // 8 bytes
constexpr int32_t MSG_OFF_SERIALNUM = 11; // 12 bytes
constexpr int32_t MSG_OFF_PAIRCODE = 23;  // 8 bytes
constexpr int32_t MSG_VERNAME_SIZE = 8;
// Data message
constexpr int32_t MSG_OFF_SETTINGS = 2;   // baudRate, dataBits, stopBits, parity
constexpr int32_t MSG_OFF_DATALEN = 6;    // 32-bit little-endian
// Upgrade request
constexpr int32_t MSG_OFF_UPG_URL = 2;
constexpr int32_t MSG_UPG_URL_SIZE = 32;
constexpr int32_t MSG_OFF_UPG_USER = 34;
constexpr int32_t MSG_UPG_USER_SIZE = 12;
constexpr int32_t MSG_OFF_UPG_PASS = 46;
constexpr int32_t MSG_UPG_PASS_SIZE = 12;
constexpr int32_t MSG_OFF_UPG_PATH = 58;  // to its terminator or the message end
// Identity-change request
constexpr int32_t MSG_OFF_DEV_SERIALNUM = 2;  // 12 bytes
constexpr int32_t MSG_OFF_DEV_PAIRCODE = 14;  // 8 bytes

// Identity-change request: its two fields and nothing after them count.
constexpr int32_t MSG_DEVINFO_LEN = 22;

// Writes version 1 and cmd (flag cleared) into buf[0..1]; returns 0.
int32_t MSG_SetHead(uint8_t *buf, uint8_t cmd);
// Writes version 1, cmd | MSG_RESP_FLAG and value into buf[0..2]; returns 0.
int32_t MSG_SetResp(uint8_t *buf, uint8_t cmd, uint8_t value);

// Framing faults: the stream cannot be cut past them, as nothing says where
// the message that begins there ends.
constexpr int32_t MSG_FAULT_VERSION = -1;     // first byte is not the protocol version
constexpr int32_t MSG_FAULT_COMMAND = -2;     // a command the server never sends
constexpr int32_t MSG_FAULT_LENGTH = -3;      // data length above MSG_DATA_MAX
constexpr int32_t MSG_FAULT_TERMINATOR = -4;  // upgrade path without its NUL within MSG_MAX_LEN

// Where the message at the start of a received stream ends, reading only
// buf[0..avail-1]: its length (1..MSG_MAX_LEN, never above avail); 0 when
// more bytes are needed to complete it; a MSG_FAULT_* value when the
// bytes there cannot begin a message the server sends. The downlink table
// it cuts by (command, low seven bits, and its length):
//   0x00 online result, 0x01 heartbeat result   3 bytes
//   0x40 data                                    10 + dataLen, dataLen <= 1014
//   0x41 upgrade request                         through its path's NUL, at most 1024
//   0x42 identity change                         22 bytes
// Nothing else is framed: a message of another command has no known end.
int32_t MSG_FrameLen(const uint8_t *buf, int32_t avail);
// Short text naming a MSG_FAULT_* value, for the log.
const char *MSG_FaultText(int32_t fault);
