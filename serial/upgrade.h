// Local serial frames: upgrade chunks (staged through a 4096-byte cache into
// a temporary file beside the package, renamed into place when complete)
// and identity frames. Used only by the serial bridge thread.
#pragma once
#include <cstdint>

constexpr int32_t UPGRADE_HEAD_LEN = 16;
constexpr int32_t UPGRADE_MAX_DATA = 998;
constexpr int32_t UPGRADE_RESP_LEN = 16;
constexpr int32_t UPGRADE_CACHE_SIZE = 4096;
constexpr int32_t DEVINFO_FRAME_LEN = 24;

// avail: bytes readable from frame (the rest of the receive buffer).
// 1 when frame starts a well-formed upgrade frame that fits avail, else 0.
int32_t UPGRADE_IsValid(const uint8_t *frame, int32_t avail);
// Stores the chunk of a valid frame. 0 stored or ignored; -1 file failure.
int32_t UPGRADE_SaveData(const uint8_t *frame);
// Writes the 16-byte progress answer; *len = 16; returns 0.
int32_t UPGRADE_BuildResp(uint8_t *out, int32_t *len);
// The answer to a valid frame while local upgrades are off: the 16-byte
// progress answer with totalSize -1 (no package has that size) and
// curOffset 0, so a device sees the refusal. Nothing is stored and the
// transfer state stays as it was; out may overlap frame. *len = 16;
// returns 0.
int32_t UPGRADE_BuildRefusal(const uint8_t *frame, uint8_t *out, int32_t *len);
// 1 when the bytes stored equal the package size, else 0.
int32_t UPGRADE_IsComplete();
// Abandons any unfinished transfer: removes the staging file (never the
// package) and forgets the progress, so the next transfer starts at 0.
void UPGRADE_Abandon();
// 1 when frame is a well-formed identity frame (a set request is carried
// out first), else 0.
int32_t DEVINFO_IsValid(const uint8_t *frame, int32_t avail);
// Writes the 24-byte identity answer; *len = 24; returns 0.
int32_t DEVINFO_BuildResp(uint8_t *out, int32_t *len);
