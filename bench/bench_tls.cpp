// Handshake time and heap of the link's TLS session: n connections to a
// TLS terminator on loopback, each a TCP connect, the handshake with the
// server's chain checked, one message and the close. Prints the handshake
// times and the heap in use (mallinfo2) with a session up and after each
// close, so growth across reconnects shows. Built by bench/bench_tls.sh.
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/common.h"
#include "link/tcp.h"
#include "link/tls.h"

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: bench_tls PORT CA N\n");
        return 2;
    }
    uint16_t port = (uint16_t)atoi(argv[1]);
    int n = atoi(argv[3]);
    TLS_Setup(true, argv[2], nullptr, nullptr, nullptr);
    std::vector<int64_t> us;
    us.reserve((size_t)n);  // its growth would count as the session's heap
    size_t peak = 0, first = 0, last = 0;
    for (int i = 0; i < n; i++) {
        int sock = -1;
        TcpAddr addr;
        if (TCP_ConnectServer("127.0.0.1", port, 1000, "bench", &sock, &addr) != 0)
            return 1;
        char why[128];
        struct timespec a, b;
        clock_gettime(CLOCK_MONOTONIC, &a);
        if (TLS_Open(sock, "127.0.0.1", 5000, -1, why, sizeof why) != 0) {
            fprintf(stderr, "handshake: %s\n", why);
            return 1;
        }
        clock_gettime(CLOCK_MONOTONIC, &b);
        us.push_back((b.tv_sec - a.tv_sec) * 1000000 + (b.tv_nsec - a.tv_nsec) / 1000);
        const uint8_t hb[2] = {1, 1};
        TLS_Write(hb, 2);
        peak = std::max(peak, mallinfo2().uordblks);
        TLS_Close(true);
        TCP_CloseSocket(sock);
        last = mallinfo2().uordblks;
        if (i == 0)
            first = last;
    }
    std::sort(us.begin(), us.end());
    printf("handshakes: %d, min %.2f ms, median %.2f ms, max %.2f ms\n", n, us.front() / 1000.0,
           us[us.size() / 2] / 1000.0, us.back() / 1000.0);
    printf("heap in use: %zu bytes with a session up (peak), %zu after the first close, %zu after the last\n", peak,
           first, last);
    return 0;
}
