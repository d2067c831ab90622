// Preloaded into the daemon by a fault-injection test: the process's first
// ADAPTER_FAIL_THREADS (default 1) pthread_create() calls fail with EAGAIN,
// every later one goes through. The daemon's first creation is the LED
// thread's, so it starts a pass or more late, after the link thread may
// have set the LEDs.
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>

#include <atomic>

namespace {

using CreateFn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
std::atomic<int> s_calls{0};

}  // namespace

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    static CreateFn real = (CreateFn)dlsym(RTLD_NEXT, "pthread_create");
    static const char *env = getenv("ADAPTER_FAIL_THREADS");
    static int failing = env != nullptr ? atoi(env) : 1;
    if (s_calls.fetch_add(1) < failing || real == nullptr)
        return EAGAIN;
    return real(thread, attr, start, arg);
}
