// Command-line options of adapterd and adapterd-sandbox: the one parser and
// validator, so that the daemon, its sandbox and the init script's --check
// never disagree. OPT_Parse only records and checks values and says what to
// do; OPT_Apply hands them to the endpoints and the log before anything
// starts. Every refusal is one line on standard error naming the option.
#pragma once
#include <cstdint>

#include "core/endpoints.h"
#include "core/log.h"

// The option lines of both programs' --help.
#define OPT_HELP_LINES                                                                  \
    "  --server HOST[:N]  server host name, IPv4 or [IPv6] address, 255 characters;\n"  \
    "                     up to 4 times: the next when one cannot be reached, the\n"     \
    "                     first again at a drop 10 minutes after leaving it\n"           \
    "  --port N           server TCP port where --server names none, 1-65535\n"          \
    "  --ftp-port N       FTP control port for upgrades, 1-65535\n"                       \
    "  --heartbeat S      a heartbeat goes out once the link has been quiet S\n"          \
    "                     seconds, 1-600 [3]\n"                                           \
    "  --silence S        the link is dropped after S seconds without a byte from\n"      \
    "                     the server, heartbeat+5 to 1800 [2 x heartbeat + 4]\n"          \
    "  --log all|changes  every log line, or none of those that repeat with routine\n"    \
    "                     traffic [all]\n"                                                \
    "  --upgrade-key FILE a public key (usign -G) for remote upgrades, up to 4:\n"       \
    "                     PATH.sig must verify with one [none]\n"                          \
    "  --local-upgrade on|off  take pushes over the serial port (unverified) [on]\n"     \
    "  --tls              the server link over TLS, the server's certificate checked\n"  \
    "  --ca FILE          certificates the server's chain must end in, PEM\n"            \
    "                     [/etc/ssl/certs/ca-certificates.crt]\n"                         \
    "  --tls-name NAME    name the server's certificate must carry (an address is\n"     \
    "                     matched as one) [the server's host]\n"                          \
    "  --cert FILE        client certificate for the server, PEM, with --key\n"          \
    "  --key FILE         its private key, PEM or DER, unencrypted; never logged\n"      \
    "  --check            check the options and end: nothing printed and status 0\n"      \
    "                     when they are sound; nothing is started\n"                      \
    "Each option takes its value as the next argument or after '=' (--port=60928).\n"

enum OptAction : int32_t {
    OPT_RUN = 0,   // start the adapter with the options
    OPT_HELP,      // --help or -h was given
    OPT_VERSION,   // --version or -V was given
    OPT_CHECK,     // --check: the options are sound; end with 0
    OPT_ERROR,     // a line naming the option went to stderr; end with 2
};

// Values given on the command line; fields not given keep the marks below.
struct Options {
    const char *servers[EP_SERVER_MAX];  // --server entries as given, in order
    int32_t serverCount;  // 0: not given
    uint16_t port;        // 0: not given
    uint16_t ftpPort;     // 0: not given
    uint32_t heartbeatS;  // given, or 3
    uint32_t silenceS;    // given, or 2 x heartbeat + 4
    int32_t level;        // -1: not given, else a LogLevel
    const char *keys[4];  // --upgrade-key files, keyCount of them
    int32_t keyCount;
    int32_t localUpgrade;  // -1: not given, else 0 (off) or 1 (on)
    bool tls;             // --tls given
    const char *ca;       // TLS files and name; nullptr: not given
    const char *tlsName;
    const char *cert;
    const char *key;
};

// Reads argv[1..argc-1] in order into *opts; prog names the program in the
// refusal line ("prog: --port: why"). The action to take: a refusal,
// --help or --version ends the reading at once. *opts is filled in fully
// for OPT_RUN and OPT_CHECK only. With --tls the files are read and
// checked (an unreadable one, a key not matching its certificate: refused
// naming the option); a build without TLS refuses --tls.
OptAction OPT_Parse(int argc, char **argv, const char *prog, Options *opts);
// Checks one server entry ("host", "host:port", "[IPv6]" or "[IPv6]:port";
// the host an RFC 1123 host name, an IPv4 dotted quad or an IPv6 address,
// which needs its brackets only before a port) and splits it into host
// (brackets taken off; hostSize at least EP_HOST_MAX_LEN + 1) and *port (0
// when the entry names none). nullptr when it is sound; otherwise why not,
// for a refusal line, with host and *port unchanged.
const char *OPT_ServerEntry(const char *entry, char *host, size_t hostSize, uint16_t *port);
// Hands what was given to the endpoints and the log level, and the two
// intervals in every case (their defaults are the adapter's own). Call
// before any thread starts; the values were checked by OPT_Parse.
void OPT_Apply(const Options *opts);
