// Fuzz target: FTP control replies. The input is one reply (NUL-terminated
// copy in a buffer of exactly its size, as the client keeps it), read for
// its code and as a PASV reply with the client's 16-byte host buffer and
// with a small one. Checks: the code lies in 0..999 and agrees with the
// leading number; a parsed PASV address is a dotted quad that fits its
// buffer and names the same six numbers that the classic
// "%*[^(](%d,%d,%d,%d,%d,%d)" pattern reads; a failed parse leaves the
// outputs alone.
#include <arpa/inet.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ftp/ftpClient.h"
#include "fuzz/fuzz_support.h"

namespace {

void checkReplyCode(const char *reply)
{
    int code = ftpReplyCode(reply);
    FUZZ_CHECK(code >= 0 && code <= 999);
    const char *p = reply;
    while (isspace((unsigned char)*p))
        p++;
    if (!isdigit((unsigned char)*p)) {
        FUZZ_CHECK(code == 0);
        return;
    }
    long long v = 0;
    for (; isdigit((unsigned char)*p) && v <= 999; p++)
        v = v * 10 + (*p - '0');
    FUZZ_CHECK(code == (v > 999 ? 999 : (int)v));
}

void checkPasv(const char *reply, size_t hostSize)
{
    std::vector<char> host(hostSize ? hostSize : 1, 'Z');
    int port = -7;
    int rc = ftpParsePasv(reply, host.data(), hostSize, &port);
    if (rc != 0) {
        FUZZ_CHECK(rc == -1 && port == -7);
        for (char c : host)
            FUZZ_CHECK(c == 'Z');
        return;
    }
    FUZZ_CHECK(memchr(host.data(), '\0', hostSize) != nullptr);
    struct in_addr a;
    FUZZ_CHECK(inet_pton(AF_INET, host.data(), &a) == 1);
    FUZZ_CHECK(port >= 0 && port <= 65535);
    int v[6];
    FUZZ_CHECK(sscanf(reply, "%*[^(](%d,%d,%d,%d,%d,%d)", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) == 6);
    char want[32];
    snprintf(want, sizeof want, "%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
    FUZZ_CHECK(strcmp(want, host.data()) == 0);
    FUZZ_CHECK(port == v[4] * 256 + v[5]);
}

void checkEpsv(const char *reply)
{
    int port = -7;
    if (ftpParseEpsv(reply, &port) != 0) {
        FUZZ_CHECK(port == -7);
        return;
    }
    FUZZ_CHECK(port >= 1 && port <= 65535 && ftpReplyCode(reply) == 229);
    const char *p = strchr(reply, '(');
    FUZZ_CHECK(p != nullptr && p[1] == p[2] && p[2] == p[3] && atoi(p + 4) == port);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 512)
        return -1;  // one receive of the client brings at most 512 bytes
    std::vector<char> reply(data, data + size);
    reply.push_back('\0');
    checkReplyCode(reply.data());
    checkPasv(reply.data(), 16);
    checkPasv(reply.data(), size ? data[0] % 17 : 0);
    checkEpsv(reply.data());
    return 0;
}
