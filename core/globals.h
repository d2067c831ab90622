// The one record all threads share (g_gbVar): keep-alive queue, event word,
// worker handles, send mutex and device identity; start-up (GB_Init). The
// event word is atomic so threads and the signal handler change their own
// bits without undoing each other's. Identity fields are read through
// GB_GetDeviceInfo, which never returns a half-updated pair.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <pthread.h>

constexpr uint32_t GB_EVENT_EXIT = 0x01;
constexpr uint32_t GB_EVENT_UART_CONFIG = 0x02;

constexpr int32_t GB_VER_CODE = 1;
constexpr const char *GB_VER_NAME = "1.1";

constexpr size_t GB_SERIALNUM_SIZE = 12;  // 11 characters and the NUL
constexpr size_t GB_PAIRCODE_SIZE = 8;    // 7 characters and the NUL

// "Not running" mark for a thread handle.
#define GB_THREAD_NONE ((pthread_t)-1)

struct GbAliveMsg {
    long mtype;       // what msgsnd requires: long, 32-bit on the target
    char mtext[40];
};

// Not packed: a packed record would misalign the atomic event word and the
// mutex, and misaligned atomics trap on MIPS.
struct GbVar {
    int32_t msgId;
    GbAliveMsg aliveMsg;
    std::atomic<uint32_t> events;
    pthread_t tcpThd;
    pthread_t uartThd;
    pthread_t ledThd;
    pthread_mutex_t sendMutex;
    char serialNum[GB_SERIALNUM_SIZE];
    char pairCode[GB_PAIRCODE_SIZE];
};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "event word must be usable from a signal handler");

extern GbVar g_gbVar;

// Start-up: version line, queue, keep-alive message, identity, handles,
// mutex. 0 on success; -1 when the queue cannot be opened, 1 when the
// identity file cannot be opened (nothing after the failing step is done).
int32_t GB_Init();
// The identity file's reader and rewriter (gbInitDeviceInfo,
// GB_ModifyDeviceInfo...) are in core/identity.h.
// Copies the current identity pair, both from the same update.
void GB_GetDeviceInfo(char serialNum[GB_SERIALNUM_SIZE], char pairCode[GB_PAIRCODE_SIZE]);
// Sets both fields at once (each cut to its field); readers see the old
// pair or the new one, never half of each.
void GB_SetDeviceInfo(const char *serialNum, const char *pairCode);

// Descriptor that turns readable when GB_EVENT_EXIT is set and stays so
// (it is never drained): every thread adds it to its waits, so exit wakes
// them all at once. Made before main() runs; -1 only if that failed, and
// then the process exit ends the waits.
int GB_ExitFd();
// Descriptor the serial thread makes readable when its downlink hold has
// room again after turning a message away; the link thread, which keeps
// that message, waits on it and reads it to clear it. Made before main()
// runs; -1 only if that failed.
int GB_RoomFd();
// Makes GB_ExitFd() readable; async-signal-safe (one write()).
void gbWakeExit();

// Event word: set and clear are atomic read-modify-writes of the whole word
// (async-signal-safe); a set publishes the writes made before it, and
// setting GB_EVENT_EXIT also wakes every thread's wait.
inline void GB_SetEvent(uint32_t bit)
{
    g_gbVar.events.fetch_or(bit, std::memory_order_acq_rel);
    if ((bit & GB_EVENT_EXIT) != 0)
        gbWakeExit();
}
inline void GB_ClearEvent(uint32_t bit) { g_gbVar.events.fetch_and(~bit, std::memory_order_acq_rel); }
inline bool GB_TestEvent(uint32_t bit) { return (g_gbVar.events.load(std::memory_order_acquire) & bit) != 0; }
inline uint32_t GB_Events() { return g_gbVar.events.load(std::memory_order_acquire); }
