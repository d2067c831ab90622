// Production entry point: every endpoint is compiled in and the environment
// is not read. The adapter itself takes no arguments. --help and --version
// are answered, and any other argument refused, before anything else
// happens: asking a router's binary what it is must never open its serial
// port, start a second adapter or leave a keep-alive queue behind.
#include <cstdio>
#include <cstring>

#include "config.h"
#include "core/globals.h"
#include "core/main.h"

#define ENTRY_STR(x) #x
#define ENTRY_XSTR(x) ENTRY_STR(x)

namespace {

// The compiled-in endpoints are listed so that a maker can tell on the
// router which server a package was built for.
const char kUsage[] =
    "usage: adapterd [-h|--help] [-V|--version]\n"
    "\n"
    "Bridges the serial port to the server. Run it without arguments, under\n"
    "its supervisor; it logs to standard output. Compiled in:\n"
    "  server         " ADAPTER_CFG_SERVER_HOST ":" ENTRY_XSTR(ADAPTER_CFG_SERVER_PORT) "\n"
    "  serial port    " ADAPTER_CFG_SERIAL_PATH "\n"
    "  identity file  " ADAPTER_CFG_DEVINFO_PATH " (required)\n"
    "  queue key      " ENTRY_XSTR(ADAPTER_CFG_MSG_KEY) "\n"
    "For tests and demos use adapterd-sandbox.\n"
    "\n"
    "exit status: 0 when the adapter ends (it always does so with 0),\n"
    "2 for any other argument; nothing has started then.\n";

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1) {
        const char *arg = argv[1];
        if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            fputs(kUsage, stdout);
            return 0;
        }
        if (strcmp(arg, "-V") == 0 || strcmp(arg, "--version") == 0) {
            printf("adapterd %s\n", GB_VER_NAME);
            return 0;
        }
        fprintf(stderr, "adapterd: unexpected argument '%s'\n", arg);
        fputs(kUsage, stderr);
        return 2;
    }
    MAIN_Run();
}
