// TLS session of the server link. Owns the one mbedtls session, its
// configuration, the parsed CA chain, client certificate and key, and the
// random generator, all in static storage; mbedtls itself allocates (its
// record buffers, the parsed certificates) at TLS_Open and everything is
// freed at TLS_Close or a failed open, so nothing grows across
// connections. The files are read at each connection, so a renewed bundle
// or certificate is used from the next one.
//
// The socket is non-blocking and mbedtls reaches it through send/recv
// callbacks that turn EAGAIN into WANT_READ/WANT_WRITE. The handshake waits
// on the socket and the exit descriptor against one deadline; it runs on
// the link thread before the connection is published to senders, so nothing
// else touches the session meanwhile.
//
// Once up, the link thread reads (TLS_Read, non-blocking) and the serial
// thread writes (TLS_Write) the same session, which mbedtls does not allow
// at once: the link calls both under its send lock, and waits for the
// socket outside it. A read never waits under the lock (it decrypts what
// has arrived, or says nothing is complete), so a reader holds a writer up
// for one record at most; a writer waits under the lock only for room, as
// a plain send always has. What a read leaves decrypted in the session is
// told by TLS_Pending, since poll() on the socket cannot see it.
//
// Verification is never optional: the chain must end in the CA file and
// the certificate must carry the expected name (an address is compared
// with the certificate's iPAddress entries); the reason of a refusal is put
// in plain words from the verify flags.
#include "link/tls.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#if ADAPTER_HAVE_TLS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/version.h>
#include <mbedtls/x509_crt.h>
#if MBEDTLS_VERSION_MAJOR >= 3
#include <psa/crypto.h>
#endif

#include "core/common.h"
#endif

namespace {

const char *const TLS_CA_DEFAULT = "/etc/ssl/certs/ca-certificates.crt";

struct TlsSetup {
    bool on;
    const char *ca;
    const char *name;  // nullptr: the server's host
    const char *cert;
    const char *key;
};

TlsSetup s_setup = {false, nullptr, nullptr, nullptr, nullptr};

}  // namespace

bool TLS_Built()
{
    return ADAPTER_HAVE_TLS != 0;
}

void TLS_Setup(bool on, const char *ca, const char *name, const char *cert, const char *key)
{
    s_setup = TlsSetup{on && TLS_Built(), ca, name, cert, key};
}

bool TLS_On()
{
    return s_setup.on;
}

const char *TLS_CaPath()
{
    return s_setup.ca != nullptr ? s_setup.ca : TLS_CA_DEFAULT;
}

#if !ADAPTER_HAVE_TLS

const char *TLS_CheckFiles(const char *, const char *, const char *, const char **option)
{
    *option = "--tls";
    return "this adapterd was built without TLS";
}

int32_t TLS_Open(int, const char *, int, int, char *why, size_t size)
{
    snprintf(why, size, "built without TLS");
    return -1;
}

bool TLS_Active() { return false; }
int32_t TLS_Read(uint8_t *, int32_t)
{
    errno = ENOTCONN;
    return -1;
}
int32_t TLS_Pending() { return 0; }
int32_t TLS_Write(const uint8_t *, int32_t) { return 0; }
void TLS_Close(bool) {}

void TLS_Describe(char *version, size_t, char *suite, size_t, char *subject, size_t, char *notAfter, size_t)
{
    version[0] = suite[0] = subject[0] = notAfter[0] = '\0';
}

#else

namespace {

// A message is at most 1 KiB: a write finds room unless the server has
// stopped reading, as for a plain send.
constexpr int TLS_SEND_WAIT_MS = 1000;
constexpr uint8_t TLS_SAN_IP_TAG = 0x87;  // [7] iPAddress, context-specific primitive

struct TlsSession {
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config conf;
    mbedtls_x509_crt ca;
    mbedtls_x509_crt cert;
    mbedtls_pk_context key;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    int sock;
    int bioErr;  // errno of the latest failed send or recv
};

TlsSession s_tls;
// Written by the link thread under the send lock, read by senders under it
// too; atomic so that TLS_Active may be asked without it.
std::atomic<bool> s_active{false};

int tlsBioSend(void *ctx, const unsigned char *buf, size_t len)
{
    TlsSession *t = static_cast<TlsSession *>(ctx);
    for (;;) {
        ssize_t n = send(t->sock, buf, len, MSG_NOSIGNAL);
        if (n >= 0)
            return (int)n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return MBEDTLS_ERR_SSL_WANT_WRITE;
        t->bioErr = errno;
        return errno == EPIPE || errno == ECONNRESET ? MBEDTLS_ERR_NET_CONN_RESET : MBEDTLS_ERR_NET_SEND_FAILED;
    }
}

int tlsBioRecv(void *ctx, unsigned char *buf, size_t len)
{
    TlsSession *t = static_cast<TlsSession *>(ctx);
    for (;;) {
        ssize_t n = recv(t->sock, buf, len, 0);
        if (n >= 0)
            return (int)n;  // 0: the server's FIN, which mbedtls reports as the end
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return MBEDTLS_ERR_SSL_WANT_READ;
        t->bioErr = errno;
        return errno == ECONNRESET ? MBEDTLS_ERR_NET_CONN_RESET : MBEDTLS_ERR_NET_RECV_FAILED;
    }
}

void tlsInit(TlsSession &t, int sock)
{
    mbedtls_ssl_init(&t.ssl);
    mbedtls_ssl_config_init(&t.conf);
    mbedtls_x509_crt_init(&t.ca);
    mbedtls_x509_crt_init(&t.cert);
    mbedtls_pk_init(&t.key);
    mbedtls_entropy_init(&t.entropy);
    mbedtls_ctr_drbg_init(&t.drbg);
    t.sock = sock;
    t.bioErr = 0;
}

void tlsFree(TlsSession &t)
{
    mbedtls_ssl_free(&t.ssl);
    mbedtls_ssl_config_free(&t.conf);
    mbedtls_x509_crt_free(&t.ca);
    mbedtls_x509_crt_free(&t.cert);
    mbedtls_pk_free(&t.key);
    mbedtls_ctr_drbg_free(&t.drbg);
    mbedtls_entropy_free(&t.entropy);
    t.sock = -1;
}

int tlsSeed(TlsSession &t)
{
    static const unsigned char kPers[] = "adapterd link";
    return mbedtls_ctr_drbg_seed(&t.drbg, mbedtls_entropy_func, &t.entropy, kPers, sizeof kPers - 1);
}

int tlsParseKey(TlsSession &t, const char *path)
{
#if MBEDTLS_VERSION_MAJOR >= 3
    return mbedtls_pk_parse_keyfile(&t.key, path, nullptr, mbedtls_ctr_drbg_random, &t.drbg);
#else
    return mbedtls_pk_parse_keyfile(&t.key, path, nullptr);
#endif
}

int tlsCheckPair(TlsSession &t)
{
#if MBEDTLS_VERSION_MAJOR >= 3
    return mbedtls_pk_check_pair(&t.cert.pk, &t.key, mbedtls_ctr_drbg_random, &t.drbg);
#else
    return mbedtls_pk_check_pair(&t.cert.pk, &t.key);
#endif
}

// Loads the CA file and, when given, the client certificate and its key
// into t (seeded first). nullptr, or why not with *option naming it.
const char *tlsLoad(TlsSession &t, const char *ca, const char *cert, const char *key, const char **option)
{
#if MBEDTLS_VERSION_MAJOR >= 3
    if (psa_crypto_init() != PSA_SUCCESS) {
        *option = "--tls";
        return "the crypto library could not start";
    }
#endif
    if (tlsSeed(t) != 0) {
        *option = "--tls";
        return "no random source";
    }
    // A bundle may hold a certificate mbedtls cannot read (a positive
    // count); it is usable while one parsed.
    if (mbedtls_x509_crt_parse_file(&t.ca, ca != nullptr ? ca : TLS_CA_DEFAULT) < 0 || t.ca.version == 0) {
        *option = "--ca";
        return "cannot be read as PEM or DER certificates";
    }
    if ((cert == nullptr) != (key == nullptr)) {
        *option = cert == nullptr ? "--key" : "--cert";
        return cert == nullptr ? "needs --cert with it" : "needs --key with it";
    }
    if (cert == nullptr)
        return nullptr;
    if (mbedtls_x509_crt_parse_file(&t.cert, cert) != 0) {
        *option = "--cert";
        return "cannot be read as a certificate";
    }
    if (tlsParseKey(t, key) != 0) {
        *option = "--key";
        return "cannot be read as a private key (unencrypted PEM or DER)";
    }
    if (tlsCheckPair(t) != 0) {
        *option = "--key";
        return "does not match the certificate of --cert";
    }
    return nullptr;
}

// The refusal of the server's certificate in plain words, from the flags.
const char *tlsVerifyReason(uint32_t flags)
{
    if (flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED)
        return "certificate not trusted";
    if (flags & MBEDTLS_X509_BADCERT_CN_MISMATCH)
        return "name mismatch";
    if (flags & MBEDTLS_X509_BADCERT_EXPIRED)
        return "expired";
    if (flags & MBEDTLS_X509_BADCERT_FUTURE)
        return "not yet valid (is the clock set? tried again at the next connection)";
    return "certificate refused";
}

// Whether the server's certificate carries the address raw (4 or 16 bytes).
bool tlsHasAddress(const mbedtls_x509_crt *crt, const uint8_t *raw, size_t n)
{
    for (const mbedtls_x509_sequence *s = &crt->subject_alt_names; s != nullptr; s = s->next) {
        if (s->buf.p != nullptr && (uint8_t)s->buf.tag == TLS_SAN_IP_TAG && s->buf.len == n &&
            memcmp(s->buf.p, raw, n) == 0)
            return true;
    }
    return false;
}

// Waits for the socket (readable when read, else writable) or exitFd,
// up to the deadline. 1 ready, 0 out of time, -2 exit, -1 poll failed.
int tlsWait(int sock, bool read, int64_t deadline, int exitFd)
{
    int64_t left = deadline - COMM_MonotonicMs();
    if (left <= 0)
        return 0;
    struct pollfd pfd[2] = {{sock, (short)(read ? POLLIN : POLLOUT), 0}, {exitFd, POLLIN, 0}};
    int n = COMM_PollMs(pfd, 2, (int32_t)left);
    if (n <= 0)
        return n;
    if (pfd[1].revents != 0)
        return -2;
    return 1;
}

void tlsErrorText(int ret, char *buf, size_t size)
{
#if defined(MBEDTLS_ERROR_C)
    mbedtls_strerror(ret, buf, size);
#else
    snprintf(buf, size, "error -0x%04x", (unsigned)-ret);
#endif
}

// Configures t for a client session to name (an address when addr > 0
// bytes of raw: checked after the handshake instead). 0 or mbedtls's error.
int tlsConfigure(TlsSession &t, const char *name, size_t addr)
{
    int ret = mbedtls_ssl_config_defaults(&t.conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                          MBEDTLS_SSL_PRESET_DEFAULT);
    if (ret != 0)
        return ret;
    mbedtls_ssl_conf_authmode(&t.conf, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(&t.conf, &t.ca, nullptr);
    mbedtls_ssl_conf_rng(&t.conf, mbedtls_ctr_drbg_random, &t.drbg);
    if (t.cert.version != 0 && (ret = mbedtls_ssl_conf_own_cert(&t.conf, &t.cert, &t.key)) != 0)
        return ret;
    if ((ret = mbedtls_ssl_setup(&t.ssl, &t.conf)) != 0)
        return ret;
    // An address is no host name to send or match as one.
    if ((ret = mbedtls_ssl_set_hostname(&t.ssl, addr > 0 ? nullptr : name)) != 0)
        return ret;
    mbedtls_ssl_set_bio(&t.ssl, &t, tlsBioSend, tlsBioRecv, nullptr);
    return 0;
}

// Drives the handshake to its end: 0 done, else why is set.
int32_t tlsHandshake(TlsSession &t, int timeoutMs, int exitFd, char *why, size_t size)
{
    int64_t deadline = COMM_MonotonicMs() + timeoutMs;
    for (;;) {
        int ret = mbedtls_ssl_handshake(&t.ssl);
        if (ret == 0)
            return 0;
        if (ret != MBEDTLS_ERR_SSL_WANT_READ && ret != MBEDTLS_ERR_SSL_WANT_WRITE) {
            uint32_t flags = mbedtls_ssl_get_verify_result(&t.ssl);
            if (ret == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED && flags != 0 && flags != (uint32_t)-1) {
                snprintf(why, size, "%s", tlsVerifyReason(flags));
            } else {
                char text[96];
                tlsErrorText(ret, text, sizeof text);
                snprintf(why, size, "handshake failed: %s", text);
            }
            return -1;
        }
        int w = tlsWait(t.sock, ret == MBEDTLS_ERR_SSL_WANT_READ, deadline, exitFd);
        if (w <= 0) {
            snprintf(why, size, w == -2 ? "handshake cut short by the exit"
                                        : "handshake not done within %d ms",
                     timeoutMs);
            return -1;
        }
    }
}

}  // namespace

const char *TLS_CheckFiles(const char *ca, const char *cert, const char *key, const char **option)
{
    tlsInit(s_tls, -1);
    const char *why = tlsLoad(s_tls, ca, cert, key, option);
    tlsFree(s_tls);
    return why;
}

int32_t TLS_Open(int sock, const char *host, int timeoutMs, int exitFd, char *why, size_t size)
{
    TLS_Close(false);
    tlsInit(s_tls, sock);
    const char *name = s_setup.name != nullptr ? s_setup.name : host;
    uint8_t raw[sizeof(struct in6_addr)];
    size_t addr = inet_pton(AF_INET, name, raw) == 1 ? 4 : inet_pton(AF_INET6, name, raw) == 1 ? 16 : 0;
    const char *option = "";
    const char *bad = tlsLoad(s_tls, s_setup.ca, s_setup.cert, s_setup.key, &option);
    int32_t rc = -1;
    int ret;
    if (bad != nullptr) {
        snprintf(why, size, "%s %s", option, bad);
    } else if ((ret = tlsConfigure(s_tls, name, addr)) != 0) {
        char text[96];
        tlsErrorText(ret, text, sizeof text);
        snprintf(why, size, "TLS set-up failed: %s", text);
    } else if (tlsHandshake(s_tls, timeoutMs, exitFd, why, size) == 0) {
        const mbedtls_x509_crt *peer = mbedtls_ssl_get_peer_cert(&s_tls.ssl);
        if (addr > 0 && (peer == nullptr || !tlsHasAddress(peer, raw, addr)))
            snprintf(why, size, "%s", "name mismatch");
        else
            rc = 0;
    }
    if (rc != 0) {
        tlsFree(s_tls);
        return -1;
    }
    s_active.store(true, std::memory_order_release);
    return 0;
}

bool TLS_Active()
{
    return s_active.load(std::memory_order_acquire);
}

int32_t TLS_Read(uint8_t *buf, int32_t len)
{
    if (!TLS_Active() || buf == nullptr || len <= 0) {
        errno = ENOTCONN;
        return -1;
    }
    uint8_t *out = buf;
    int ret = mbedtls_ssl_read(&s_tls.ssl, out, (size_t)len);
    if (ret > 0) {
        // Handlers read fields beyond the received bytes as zero.
        memset(buf + ret, 0, (size_t)(len - ret));
        return ret;
    }
    switch (ret) {
    case MBEDTLS_ERR_SSL_WANT_READ:
    case MBEDTLS_ERR_SSL_WANT_WRITE:
#if defined(MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET)
    case MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET:
#endif
        return 0;
    case 0:
    case MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY:
    case MBEDTLS_ERR_SSL_CONN_EOF:
        errno = 0;
        return -1;
    case MBEDTLS_ERR_NET_CONN_RESET:
        errno = ECONNRESET;
        return -1;
    case MBEDTLS_ERR_NET_RECV_FAILED:
        errno = s_tls.bioErr != 0 ? s_tls.bioErr : EIO;
        return -1;
    default:
        errno = EPROTO;
        return -1;
    }
}

int32_t TLS_Pending()
{
    return TLS_Active() ? (int32_t)mbedtls_ssl_get_bytes_avail(&s_tls.ssl) : 0;
}

int32_t TLS_Write(const uint8_t *data, int32_t len)
{
    if (!TLS_Active())
        return 0;
    if (data == nullptr || len <= 0)
        return len == 0 ? 0 : -1;
    int64_t deadline = COMM_MonotonicMs() + TLS_SEND_WAIT_MS;
    int32_t done = 0;
    while (done < len) {
        int ret = mbedtls_ssl_write(&s_tls.ssl, data + done, (size_t)(len - done));
        if (ret > 0) {
            done += ret;
            continue;
        }
        if ((ret != MBEDTLS_ERR_SSL_WANT_READ && ret != MBEDTLS_ERR_SSL_WANT_WRITE) ||
            tlsWait(s_tls.sock, ret == MBEDTLS_ERR_SSL_WANT_READ, deadline, -1) <= 0)
            return done > 0 ? done : -1;
    }
    return done;
}

void TLS_Close(bool notify)
{
    if (!TLS_Active())
        return;
    if (notify)
        mbedtls_ssl_close_notify(&s_tls.ssl);  // non-blocking: sent if there is room
    s_active.store(false, std::memory_order_release);
    tlsFree(s_tls);
}

void TLS_Describe(char *version, size_t vsize, char *suite, size_t ssize, char *subject, size_t subSize,
                  char *notAfter, size_t naSize)
{
    version[0] = suite[0] = subject[0] = notAfter[0] = '\0';
    if (!TLS_Active())
        return;
    snprintf(version, vsize, "%s", mbedtls_ssl_get_version(&s_tls.ssl));
    snprintf(suite, ssize, "%s", mbedtls_ssl_get_ciphersuite(&s_tls.ssl));
    const mbedtls_x509_crt *peer = mbedtls_ssl_get_peer_cert(&s_tls.ssl);
    if (peer == nullptr)
        return;
    if (mbedtls_x509_dn_gets(subject, subSize, &peer->subject) < 0)
        subject[0] = '\0';
    const mbedtls_x509_time &t = peer->valid_to;
    snprintf(notAfter, naSize, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.mon, t.day, t.hour, t.min, t.sec);
}

#endif
