// Link-time wraps of fsync() and rename() that record each call (the path
// an fsync()ed descriptor names at that moment) before doing it.
#include "tests/support/fsorder.h"

#include <unistd.h>

#include <mutex>
#include <vector>

namespace {

std::mutex s_mu;
std::vector<std::string> s_calls;  // "fsync <path>" or "rename <from>\n<to>"

void Record(const std::string &call)
{
    std::lock_guard<std::mutex> g(s_mu);
    s_calls.push_back(call);
}

bool EndsWith(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

extern "C" int __real_fsync(int fd);
extern "C" int __real_rename(const char *from, const char *to);

extern "C" int __wrap_fsync(int fd)
{
    char link[64], target[1024];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    target[n > 0 ? n : 0] = '\0';
    Record(std::string("fsync ") + target);
    return __real_fsync(fd);
}

extern "C" int __wrap_rename(const char *from, const char *to)
{
    Record(std::string("rename ") + from + "\n" + to);
    return __real_rename(from, to);
}

namespace th {

void FsCallsClear()
{
    std::lock_guard<std::mutex> g(s_mu);
    s_calls.clear();
}

bool SyncedBeforeRename(const std::string &from, const std::string &to)
{
    std::lock_guard<std::mutex> g(s_mu);
    bool synced = false;
    for (const std::string &c : s_calls) {
        if (c.compare(0, 6, "fsync ") == 0 && EndsWith(c, from))
            synced = true;
        if (c.compare(0, 7, "rename ") == 0) {
            size_t nl = c.find('\n');
            if (EndsWith(c.substr(0, nl), from) && EndsWith(c, to))
                return synced;
        }
    }
    return false;
}

}  // namespace th
