// Sandbox and output set-up shared by the fuzz targets.
#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/endpoints.h"
#include "core/globals.h"

namespace {

std::string s_root;

void removeSandbox()
{
    if (s_root.empty() || getenv("FUZZ_KEEP_SANDBOX") != nullptr)
        return;
    std::string cmd = "rm -rf '" + s_root + "'";
    int rc = system(cmd.c_str());
    (void)rc;
}

void makeDir(const std::string &path)
{
    if (mkdir(path.c_str(), 0755) != 0 && access(path.c_str(), F_OK) != 0)
        FUZZ_Fail("cannot create the sandbox tree");
}

}  // namespace

void FUZZ_Setup()
{
    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/adapter-fuzz-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr)
        FUZZ_Fail("mkdtemp failed");
    s_root = tmpl;
    for (const char *d : {"/etc", "/etc/config", "/usr", "/usr/bin", "/usr/bin/zov", "/dev", "/sys"})
        makeDir(s_root + d);
    if (EP_SetRoot(s_root.c_str()) != 0)
        FUZZ_Fail("EP_SetRoot failed");
    atexit(removeSandbox);
    // The one lock TCP_SendData takes; GB_Init (which would also open the
    // keep-alive queue) is not run here.
    pthread_mutex_init(&g_gbVar.sendMutex, nullptr);
    if (getenv("FUZZ_VERBOSE") == nullptr) {
        int fd = open("/dev/null", O_WRONLY);
        if (fd >= 0) {
            fflush(stdout);
            dup2(fd, STDOUT_FILENO);
            close(fd);
        }
    }
}

bool FUZZ_ReadFile(const char *path, std::string *out)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return false;
    std::stringstream ss;
    ss << f.rdbuf();
    *out = ss.str();
    return true;
}

void FUZZ_Fail(const char *what)
{
    fprintf(stderr, "FUZZ FINDING: %s\n", what);
    abort();
}
