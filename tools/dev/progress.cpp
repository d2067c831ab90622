// adapter-dev's progress line: percentage, bar, bytes, rate, time left and
// resends, redrawn in place on standard error and fitted to its width.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "tools/dev/dev.h"

namespace dev {

namespace {

constexpr int64_t kRedrawMs = 100;  // redraws at most this often

int termWidth()
{
    struct winsize ws;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}

void fmtBytes(char *out, size_t cap, double b)
{
    if (b >= 1e6)
        snprintf(out, cap, "%.1f MB", b / 1e6);
    else
        snprintf(out, cap, "%.1f kB", b / 1e3);
}

}  // namespace

// The least important fields go first, then the bar shrinks.
void ProgressDraw(Progress *p, int64_t done, int64_t total, int resent, bool force)
{
    if (!p->on)
        return;
    int64_t now = NowMs();
    if (!force && p->drawn && now - p->lastDraw < kRedrawMs)
        return;
    p->lastDraw = now;
    p->drawn = true;
    double secs = (double)(now - p->start) / 1000.0;
    double rate = secs > 0.05 ? (double)done / secs : 0.0;
    char d[16], t[16], r[16];
    fmtBytes(d, sizeof d, (double)done);
    fmtBytes(t, sizeof t, (double)total);
    fmtBytes(r, sizeof r, rate);
    char fields[4][40] = {};  // most important first
    snprintf(fields[0], sizeof fields[0], " %s/%s", d, t);
    snprintf(fields[1], sizeof fields[1], "  %s/s", r);
    if (rate > 0.0 && done < total) {
        long left = (long)((double)(total - done) / rate + 0.5);
        snprintf(fields[2], sizeof fields[2], "  ETA %ld:%02ld", left / 60, left % 60);
    }
    snprintf(fields[3], sizeof fields[3], "  resent %d", resent);
    const int width = termWidth() - 1;  // never the last column: no wrap
    char tail[sizeof fields] = "";
    for (int keep = 4; keep > 0; keep--) {
        tail[0] = '\0';
        for (int i = 0; i < keep; i++)
            strcat(tail, fields[i]);
        if (4 + (int)strlen(tail) + 12 <= width)
            break;
        tail[0] = '\0';
    }
    int bar = width - 4 - (int)strlen(tail) - 3;
    bar = bar > 40 ? 40 : bar;
    char line[320];
    int n = snprintf(line, sizeof line, "\r%3d%%", total > 0 ? (int)(done * 100 / total) : 100);
    if (bar >= 5) {
        int fill = total > 0 ? (int)(done * bar / total) : bar;
        line[n++] = ' ';
        line[n++] = '[';
        for (int i = 0; i < bar; i++)
            line[n++] = i < fill ? '#' : '.';
        line[n++] = ']';
    }
    snprintf(line + n, sizeof line - (size_t)n, "%s\033[K", tail);
    fputs(line, stderr);
}

void ProgressEnd(Progress *p)
{
    if (p->on && p->drawn)
        fputc('\n', stderr);
    p->drawn = false;
}

}  // namespace dev
