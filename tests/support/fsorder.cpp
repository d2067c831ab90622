// Link-time wraps of fsync() and rename() that record each call before
// doing it: "S<path the descriptor names>" or "R<from>\n<to>".
#include "tests/support/fsorder.h"

#include <unistd.h>

#include <mutex>
#include <vector>

namespace {

std::mutex s_mu;
std::vector<std::string> s_calls;

[[maybe_unused]] void Record(const std::string &call)
{
    std::lock_guard<std::mutex> g(s_mu);
    s_calls.push_back(call);
}

bool EndsWith(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

#if ADAPTER_LINK_WRAP
extern "C" int __real_fsync(int fd);
extern "C" int __real_rename(const char *from, const char *to);

extern "C" int __wrap_fsync(int fd)
{
    char link[64], target[1024];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    target[n > 0 ? n : 0] = '\0';
    Record(std::string("S") + target);
    return __real_fsync(fd);
}

extern "C" int __wrap_rename(const char *from, const char *to)
{
    Record(std::string("R") + from + "\n" + to);
    return __real_rename(from, to);
}
#endif

bool th::SyncedBeforeRename(const std::string &from, const std::string &to)
{
    if (!ADAPTER_LINK_WRAP)
        return true;
    std::lock_guard<std::mutex> g(s_mu);
    bool synced = false;
    for (const std::string &c : s_calls) {
        size_t nl = c.find('\n');
        if (c[0] == 'S' && EndsWith(c, from))
            synced = true;
        else if (c[0] == 'R' && EndsWith(c.substr(0, nl), from) && EndsWith(c, to))
            return synced;
    }
    return false;
}
