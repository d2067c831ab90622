// Sandbox entry point for tests and demos: the same adapter, with its
// endpoints taken once from the environment before anything starts.
//   ADAPTER_ROOT         prefix for every absolute file path (unset: none)
//   ADAPTER_SERVER_HOST  server host (default 127.0.0.1)
//   ADAPTER_SERVER_PORT  server port (default 60928)
//   ADAPTER_FTP_PORT     FTP control port for upgrades (default 21)
//   ADAPTER_MSG_KEY      keep-alive queue key (default 1234)
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/endpoints.h"
#include "core/main.h"

namespace {

// Parses env var name as an integer in [lo, hi]; def when unset.
bool envNumber(const char *name, long lo, long hi, long def, long *out)
{
    const char *s = getenv(name);
    if (s == nullptr || *s == '\0') {
        *out = def;
        return true;
    }
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 0);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) {
        fprintf(stderr, "adapterd-sandbox: %s=%s is not a number in %ld..%ld\n", name, s, lo, hi);
        return false;
    }
    *out = v;
    return true;
}

}  // namespace

int main()
{
    long serverPort, ftpPort, msgKey;
    if (!envNumber("ADAPTER_SERVER_PORT", 1, 65535, 60928, &serverPort) ||
        !envNumber("ADAPTER_FTP_PORT", 1, 65535, 21, &ftpPort) ||
        !envNumber("ADAPTER_MSG_KEY", 1, 0x7fffffff, 1234, &msgKey))
        return 2;
    const char *host = getenv("ADAPTER_SERVER_HOST");
    if (EP_SetServer(host && *host ? host : "127.0.0.1", (uint16_t)serverPort) != 0 ||
        EP_SetRoot(getenv("ADAPTER_ROOT")) != 0) {
        fprintf(stderr, "adapterd-sandbox: ADAPTER_SERVER_HOST or ADAPTER_ROOT too long\n");
        return 2;
    }
    EP_SetFtpPort((uint16_t)ftpPort);
    EP_SetMsgKey((int32_t)msgKey);
    MAIN_Run();
}
