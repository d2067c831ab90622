// Command-line options: a table of the value options, each with its own
// check; flags and the cross-check of the two intervals after the whole
// line is read. Values are decimal digits only, so "0x10", "+5", " 5" and
// "5s" are refused rather than read as something else. Nothing is kept
// here: the result is the caller's Options.
#include "core/options.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

#include "core/endpoints.h"
#include "link/tls.h"
#include "link/verify.h"

namespace {

constexpr uint32_t OPT_HEARTBEAT_DEFAULT_S = 3;
constexpr uint32_t OPT_HEARTBEAT_MAX_S = 600;
constexpr uint32_t OPT_SILENCE_MAX_S = 1800;
constexpr uint32_t OPT_SILENCE_MARGIN_S = 5;  // the silence limit is at least heartbeat + this
constexpr uint32_t OPT_PORT_MAX = 65535;

struct OptState {
    const char *prog;
    Options *opts;
    bool silenceGiven;
};

// "prog: name: 'value' why", the value left out when null.
OptAction optRefuse(const OptState &st, const char *name, const char *why, const char *value = nullptr)
{
    if (value != nullptr)
        fprintf(stderr, "%s: %s: '%s' %s\n", st.prog, name, value, why);
    else
        fprintf(stderr, "%s: %s: %s\n", st.prog, name, why);
    return OPT_ERROR;
}

// s as a decimal number in [lo, hi]; false for anything else.
bool optNumber(const char *s, uint32_t lo, uint32_t hi, uint32_t *out)
{
    if (*s == '\0')
        return false;
    uint32_t v = 0;
    for (; *s != '\0'; s++) {
        if (*s < '0' || *s > '9')
            return false;
        v = v * 10 + (uint32_t)(*s - '0');
        if (v > hi)
            return false;
    }
    if (v < lo)
        return false;
    *out = v;
    return true;
}

// Why host cannot name the server, or nullptr when it can: what any entry
// must hold before its form is looked at.
const char *optHostError(const char *host)
{
    if (*host == '\0')
        return "empty host name";
    if (strlen(host) > EP_HOST_MAX_LEN)
        return "host name longer than 255 characters";
    for (const char *c = host; *c != '\0'; c++) {
        if ((unsigned char)*c <= ' ' || *c == 0x7f)
            return "host name holds a blank or a control character";
    }
    return nullptr;
}

bool optIsAlnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// An RFC 1123 host name of n characters (one final dot allowed): labels of
// 1-63 letters, digits and inner hyphens. A name whose last label is all
// digits can only be meant as an IPv4 address, which inet_pton then
// decides, so "999.1.1.1" or "1.2.3" is no name.
bool optIsHostName(const char *s, size_t n)
{
    if (n > 0 && s[n - 1] == '.')
        n--;
    size_t label = 0;
    bool digits = true;  // of the label so far
    for (size_t i = 0; i < n; i++) {
        char c = s[i];
        if (c == '.') {
            if (label == 0 || label > 63 || s[i - 1] == '-')
                return false;
            label = 0;
            digits = true;
            continue;
        }
        if (!optIsAlnum(c) && !(c == '-' && label > 0))
            return false;
        digits = digits && c >= '0' && c <= '9';
        label++;
    }
    return label > 0 && label <= 63 && s[n - 1] != '-' && !digits;
}

// Whether s[0..n) parses as an address of family af (AF_INET: exactly four
// parts of 0-255).
bool optIsAddress(int af, const char *s, size_t n)
{
    char buf[INET6_ADDRSTRLEN + 1];
    if (n >= sizeof buf)
        return false;
    memcpy(buf, s, n);
    buf[n] = '\0';
    unsigned char out[sizeof(struct in6_addr)];
    return inet_pton(af, buf, out) == 1;
}

}  // namespace

const char *OPT_ServerEntry(const char *entry, char *host, size_t hostSize, uint16_t *port)
{
    const char *why = optHostError(entry);
    if (why != nullptr)
        return why;
    static const char kNotHost[] = "is neither a host name nor an IPv4 or IPv6 address ([IPv6] before a :port)";
    size_t len = strlen(entry);
    const char *h = entry;
    size_t hn = len;
    const char *p = nullptr;  // the port's digits
    const char *colon = strchr(entry, ':');
    if (entry[0] == '[') {
        const char *close = strchr(entry, ']');
        if (close == nullptr || (close[1] != '\0' && close[1] != ':'))
            return kNotHost;
        h = entry + 1;
        hn = (size_t)(close - h);
        if (!optIsAddress(AF_INET6, h, hn))
            return kNotHost;
        p = close[1] == ':' ? close + 2 : nullptr;
    } else if (colon != nullptr && strchr(colon + 1, ':') != nullptr) {
        // Two colons or more: an IPv6 address, which takes no port here.
        if (!optIsAddress(AF_INET6, entry, len))
            return kNotHost;
    } else {
        if (colon != nullptr) {
            hn = (size_t)(colon - entry);
            p = colon + 1;
        }
        if (!optIsAddress(AF_INET, h, hn) && !optIsHostName(h, hn))
            return kNotHost;
    }
    uint32_t n = 0;
    // What is no number at all ("tcp://h", "h:60928x") is no entry either.
    if (p != nullptr && (p[0] == '\0' || strspn(p, "0123456789") != strlen(p)))
        return kNotHost;
    if (p != nullptr && !optNumber(p, 1, OPT_PORT_MAX, &n))
        return "has a port that is not a number in 1-65535";
    if (hn >= hostSize)
        return "host name longer than 255 characters";
    memcpy(host, h, hn);
    host[hn] = '\0';
    *port = (uint16_t)n;
    return nullptr;
}

namespace {

OptAction optServer(OptState &st, const char *name, const char *v)
{
    char host[EP_HOST_MAX_LEN + 1];
    uint16_t port;
    const char *why = OPT_ServerEntry(v, host, sizeof host, &port);
    if (why != nullptr)
        return optRefuse(st, name, why, optHostError(v) == nullptr ? v : nullptr);  // no blanks to quote
    if (st.opts->serverCount >= EP_SERVER_MAX)
        return optRefuse(st, name, "given more than 4 times");
    st.opts->servers[st.opts->serverCount++] = v;
    return OPT_RUN;
}

OptAction optPort(OptState &st, const char *name, const char *v, uint16_t *out)
{
    uint32_t n;
    if (!optNumber(v, 1, OPT_PORT_MAX, &n))
        return optRefuse(st, name, "is not a port number (1-65535)", v);
    *out = (uint16_t)n;
    return OPT_RUN;
}

OptAction optServerPort(OptState &st, const char *name, const char *v)
{
    return optPort(st, name, v, &st.opts->port);
}

OptAction optFtpPort(OptState &st, const char *name, const char *v)
{
    return optPort(st, name, v, &st.opts->ftpPort);
}

OptAction optHeartbeat(OptState &st, const char *name, const char *v)
{
    if (!optNumber(v, 1, OPT_HEARTBEAT_MAX_S, &st.opts->heartbeatS))
        return optRefuse(st, name, "is not a number of seconds in 1-600", v);
    return OPT_RUN;
}

OptAction optSilence(OptState &st, const char *name, const char *v)
{
    if (!optNumber(v, 1, OPT_SILENCE_MAX_S, &st.opts->silenceS))
        return optRefuse(st, name, "is not a number of seconds in 1-1800", v);
    st.silenceGiven = true;
    return OPT_RUN;
}

OptAction optLog(OptState &st, const char *name, const char *v)
{
    if (strcmp(v, "all") == 0)
        st.opts->level = LOG_LEVEL_ALL;
    else if (strcmp(v, "changes") == 0)
        st.opts->level = LOG_LEVEL_CHANGES;
    else
        return optRefuse(st, name, "is neither all nor changes", v);
    return OPT_RUN;
}

OptAction optFile(OptState &st, const char *name, const char *v, const char **out)
{
    if (*v == '\0')
        return optRefuse(st, name, "needs a file name");
    *out = v;
    return OPT_RUN;
}

OptAction optCa(OptState &st, const char *name, const char *v) { return optFile(st, name, v, &st.opts->ca); }
OptAction optCert(OptState &st, const char *name, const char *v) { return optFile(st, name, v, &st.opts->cert); }
OptAction optKey(OptState &st, const char *name, const char *v) { return optFile(st, name, v, &st.opts->key); }

OptAction optTlsName(OptState &st, const char *name, const char *v)
{
    size_t n = strlen(v);
    if (optHostError(v) != nullptr ||
        (!optIsAddress(AF_INET, v, n) && !optIsAddress(AF_INET6, v, n) && !optIsHostName(v, n)))
        return optRefuse(st, name, "is neither a host name nor an IPv4 or IPv6 address");
    st.opts->tlsName = v;
    return OPT_RUN;
}

// --tls: this build must carry it, and the files must be usable.
OptAction optCheckTls(OptState &st)
{
    if (!TLS_Built())
        return optRefuse(st, "--tls", "this adapterd was built without TLS");
    const char *option = "--tls";
    const char *why = TLS_CheckFiles(st.opts->ca, st.opts->cert, st.opts->key, &option);
    if (why == nullptr)
        return OPT_RUN;
    const Options &o = *st.opts;
    // The key's path is not said: the init script hands this line to syslog.
    const char *file = strcmp(option, "--ca") == 0 ? (o.ca != nullptr ? o.ca : TLS_CaPath())
                       : strcmp(option, "--cert") == 0 ? o.cert
                                                       : nullptr;
    return optRefuse(st, option, why, file);
}

OptAction optUpgradeKey(OptState &st, const char *name, const char *v)
{
    Options *o = st.opts;
    if (o->keyCount >= (int32_t)(sizeof o->keys / sizeof o->keys[0]))
        return optRefuse(st, name, "is given more than 4 times");
    if (*v == '\0' || strlen(v) > EP_KEY_PATH_MAX_LEN)
        return optRefuse(st, name, "needs a file name of 1 to 255 characters");
    const char *why = VERIFY_KeyFileError(v);
    if (why != nullptr)
        return optRefuse(st, name, why, v);
    o->keys[o->keyCount++] = v;
    return OPT_RUN;
}

OptAction optLocalUpgrade(OptState &st, const char *name, const char *v)
{
    if (strcmp(v, "on") == 0)
        st.opts->localUpgrade = 1;
    else if (strcmp(v, "off") == 0)
        st.opts->localUpgrade = 0;
    else
        return optRefuse(st, name, "is neither on nor off", v);
    return OPT_RUN;
}

struct OptValueOption {
    const char *name;
    OptAction (*take)(OptState &st, const char *name, const char *value);
};

const OptValueOption s_valueOptions[] = {
    {"--server", optServer},       {"--port", optServerPort}, {"--ftp-port", optFtpPort},
    {"--heartbeat", optHeartbeat}, {"--silence", optSilence}, {"--log", optLog},
    {"--ca", optCa},               {"--tls-name", optTlsName}, {"--cert", optCert},
    {"--key", optKey},
    {"--upgrade-key", optUpgradeKey}, {"--local-upgrade", optLocalUpgrade},
};

// The option arg names (exactly, or before '='), or nullptr.
const OptValueOption *optFind(const char *arg, const char **inlineValue)
{
    for (const OptValueOption &o : s_valueOptions) {
        size_t n = strlen(o.name);
        if (strncmp(arg, o.name, n) == 0 && (arg[n] == '\0' || arg[n] == '=')) {
            *inlineValue = arg[n] == '=' ? arg + n + 1 : nullptr;
            return &o;
        }
    }
    return nullptr;
}

// One argument (and the value after it, which *i then passes over).
OptAction optTake(OptState &st, int argc, char **argv, int *i, bool *check)
{
    const char *arg = argv[*i];
    if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0)
        return OPT_HELP;
    if (strcmp(arg, "-V") == 0 || strcmp(arg, "--version") == 0)
        return OPT_VERSION;
    if (strcmp(arg, "--check") == 0) {
        *check = true;
        return OPT_RUN;
    }
    if (strcmp(arg, "--tls") == 0) {
        st.opts->tls = true;
        return OPT_RUN;
    }
    const char *value = nullptr;
    const OptValueOption *o = optFind(arg, &value);
    if (o == nullptr)
        return optRefuse(st, arg, arg[0] == '-' ? "unknown option" : "unexpected argument");
    if (value == nullptr) {
        if (*i + 1 >= argc)
            return optRefuse(st, o->name, "needs a value");
        value = argv[++*i];
    }
    return o->take(st, o->name, value);
}

}  // namespace

OptAction OPT_Parse(int argc, char **argv, const char *prog, Options *opts)
{
    *opts = Options{{}, 0, 0, 0, OPT_HEARTBEAT_DEFAULT_S, 0, -1, {}, 0, -1, false, nullptr, nullptr, nullptr, nullptr};
    OptState st = {prog, opts, false};
    bool check = false;
    for (int i = 1; i < argc; i++) {
        OptAction a = optTake(st, argc, argv, &i, &check);
        if (a != OPT_RUN)
            return a;
    }
    uint32_t least = opts->heartbeatS + OPT_SILENCE_MARGIN_S;
    if (!st.silenceGiven) {
        opts->silenceS = 2 * opts->heartbeatS + 4;
    } else if (opts->silenceS < least) {
        char why[64];
        snprintf(why, sizeof why, "%u s is less than heartbeat + 5 (%u s)", (unsigned)opts->silenceS,
                 (unsigned)least);
        return optRefuse(st, "--silence", why);
    }
    if (opts->tls && optCheckTls(st) != OPT_RUN)
        return OPT_ERROR;
    return check ? OPT_CHECK : OPT_RUN;
}

void OPT_Apply(const Options *opts)
{
    // The entries were checked by OPT_Parse, so these hold.
    uint16_t defaultPort = opts->port != 0 ? opts->port : EP_ServerPort();
    if (opts->serverCount == 0 && opts->port != 0)
        EP_SetServer(nullptr, defaultPort);
    for (int32_t i = 0; i < opts->serverCount; i++) {
        char host[EP_HOST_MAX_LEN + 1];
        uint16_t port = 0;
        OPT_ServerEntry(opts->servers[i], host, sizeof host, &port);
        if (i == 0)
            EP_SetServer(host, port != 0 ? port : defaultPort);
        else
            EP_AddServer(host, port != 0 ? port : defaultPort);
    }
    if (opts->ftpPort != 0)
        EP_SetFtpPort(opts->ftpPort);
    EP_SetIntervals(opts->heartbeatS, opts->silenceS);
    TLS_Setup(opts->tls, opts->ca, opts->tlsName, opts->cert, opts->key);
    if (opts->level >= 0)
        LOG_SetLevel((LogLevel)opts->level);
    for (int32_t i = 0; i < opts->keyCount; i++)
        (void)EP_AddUpgradeKey(opts->keys[i]);  // checked, and at most 4
    if (opts->localUpgrade >= 0)
        EP_SetLocalUpgrade(opts->localUpgrade == 1);
}
