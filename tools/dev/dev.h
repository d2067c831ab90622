// adapter-dev's parts, beside its entry point (tools/adapter_dev.cpp, the
// options and the push and identity commands):
//   port.cpp      the serial port: opened raw with the chosen settings,
//                 frames written as one burst, answers found in what comes
//   progress.cpp  the progress line of a push, on a terminal only
// Functions that can fail print why on standard error first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dev {

extern const char kProg[];

int64_t NowMs();

// Port settings, as the options give them.
struct PortSettings {
    const char *path = nullptr;
    int baud = 115200;
    int bits = 8;
    char parity = 'N';
    int stop = 1;
};

// The rates the port can be set to; false for any other.
bool BaudSupported(int baud);
// Opens the port raw with the given settings, for this tool alone (a port
// another adapter-dev holds is refused at once); -1 after a message naming
// the port and why.
int OpenPort(const PortSettings &s);
// Gives the port up and closes it.
void ClosePort(int fd);
// Writes the frame as one burst; false after a message.
bool SendFrame(int fd, const uint8_t *f, size_t len);
// Reads until a frame of len bytes (at most 64) starting with m0 m1 and
// carrying a good CRC over bytes 4..len-1 has arrived in out, or the
// time-out ends; other bytes (server data on the same port) are skipped.
// 1 found, 0 time-out, -1 port error (after a message).
int WaitAnswer(int fd, uint8_t m0, uint8_t m1, size_t len, int timeoutMs, uint8_t *out);

// Progress line on standard error, redrawn in place; only on a terminal.
struct Progress {
    bool on = false;
    int64_t start = 0;
    int64_t lastDraw = 0;
    bool drawn = false;
};

// Draws "pct [bar] done/total rate ETA resends" fitted to the terminal, at
// most every 0.1 s unless forced.
void ProgressDraw(Progress *p, int64_t done, int64_t total, int resent, bool force);
// Ends the progress line so that what follows starts a line of its own.
void ProgressEnd(Progress *p);

}  // namespace dev
