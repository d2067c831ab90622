// TLS session of the server link: the one mbedtls session over the link's
// socket, its verification of the server, and what the state file shows of
// it. Built without mbedtls (ADAPTER_HAVE_TLS 0) every call says so and
// nothing can be switched on. Not thread-safe by itself: the link serialises
// every call that touches the session under its send lock (link/tcpThread).
#pragma once
#include <cstddef>
#include <cstdint>

// Whether this build carries TLS.
bool TLS_Built();
// Before any thread starts: TLS on or off, and the files and name to use
// (nullptr: the defaults, the router's bundle and the server's host). The
// strings must outlive the run (argv's). Nothing else changes.
void TLS_Setup(bool on, const char *ca, const char *name, const char *cert, const char *key);
// Whether --tls was given (false in a build without TLS).
bool TLS_On();
// The CA file in use (the default when none was given).
const char *TLS_CaPath();
// --check of the files: nullptr when the CA file parses, and a given
// certificate and key parse and belong together; otherwise why not, with
// *option the option it names ("--ca", "--cert", "--key"). Loads and frees;
// nothing is kept.
const char *TLS_CheckFiles(const char *ca, const char *cert, const char *key, const char **option);

// Runs the handshake on the connected socket sock, verifying the server's
// chain against the CA file and its name (the --tls-name, else host; an
// IPv4 or IPv6 address is matched as an address). Waits at most timeoutMs
// in all, and ends early when exitFd turns readable. 0: the session is up
// and owns nothing of sock but its use; -1: it failed, the session is
// freed, why (size bytes, always terminated) says why in plain words.
int32_t TLS_Open(int sock, const char *host, int timeoutMs, int exitFd, char *why, size_t size);
// Whether a session is up.
bool TLS_Active();
// One non-blocking read of what the session has: >0 bytes read into buf
// (the rest of buf zeroed), 0 nothing complete yet (buf unchanged), -1 the
// server ended the session (close_notify or its close: errno 0) or it
// failed (errno, EPROTO for a broken record).
int32_t TLS_Read(uint8_t *buf, int32_t len);
// Bytes already decrypted and not read yet: poll() on the socket does not
// see them. 0 without a session.
int32_t TLS_Pending();
// Sends the whole message as TCP_Send does (waiting up to 1 s in all for
// room): bytes sent (len when complete), -1 when nothing could be, 0
// without a session.
int32_t TLS_Write(const uint8_t *data, int32_t len);
// Ends the session: with notify a close_notify goes out first if there is
// room at once. Frees all it allocated; the socket stays the caller's.
void TLS_Close(bool notify);
// The live session as the state file shows it: protocol version, cipher
// suite, the server certificate's subject and its "not after" date
// (YYYY-MM-DD HH:MM:SS). Each buffer always terminated; all "" without a
// session.
void TLS_Describe(char *version, size_t vsize, char *suite, size_t ssize, char *subject, size_t subSize,
                  char *notAfter, size_t naSize);
