// Production entry point: every endpoint is compiled in and the environment
// is not read; the command line may set the server, the FTP port, the two
// link intervals and the log level (core/options). --help, --version,
// --check and any refusal are answered before anything else happens: asking
// a router's binary what it is, or whether its settings hold, must never
// open its serial port, start a second adapter or leave a keep-alive queue
// behind.
#include <cstdio>

#include "config.h"
#include "core/globals.h"
#include "core/main.h"
#include "core/options.h"

#define ENTRY_STR(x) #x
#define ENTRY_XSTR(x) ENTRY_STR(x)

namespace {

// The compiled-in endpoints are listed so that a maker can tell on the
// router which server a package was built for.
const char kUsage[] =
    "usage: adapterd [-h|--help] [-V|--version]\n"
    "       adapterd [--server HOST[:N]]... [--port N] [--ftp-port N]\n"
    "                [--heartbeat S] [--silence S] [--log all|changes]\n"
    "                [--upgrade-key FILE]... [--local-upgrade on|off] [--check]\n"
    "\n"
    "Bridges the serial port to the server. Run it under its supervisor; it\n"
    "logs to standard output. Options left out keep the compiled-in values.\n"
    OPT_HELP_LINES
    "Compiled in:\n"
    "  server         " ADAPTER_CFG_SERVER_HOST ":" ENTRY_XSTR(ADAPTER_CFG_SERVER_PORT) "\n"
    "  FTP port       " ENTRY_XSTR(ADAPTER_CFG_FTP_PORT) "\n"
    "  serial port    " ADAPTER_CFG_SERIAL_PATH "\n"
    "  identity file  " ADAPTER_CFG_DEVINFO_PATH " (required)\n"
    "  state file     " ADAPTER_CFG_STATUS_PATH " (written)\n"
    "  queue key      " ENTRY_XSTR(ADAPTER_CFG_MSG_KEY) "\n"
    "Signals: USR1 rewrites the state file and logs a summary line; HUP, INT,\n"
    "TERM and QUIT end the adapter in order; USR2, PIPE and ALRM are ignored.\n"
    "For tests and demos use adapterd-sandbox.\n"
    "\n"
    "exit status: 0 when the adapter ends (it always does so with 0) or --check\n"
    "finds the options sound; 2 for a bad option or value, after one line on\n"
    "standard error naming it; nothing has started then.\n";

}  // namespace

int main(int argc, char **argv)
{
    Options opts;
    switch (OPT_Parse(argc, argv, "adapterd", &opts)) {
    case OPT_HELP:
        fputs(kUsage, stdout);
        return 0;
    case OPT_VERSION:
        printf("adapterd %s\n", GB_VER_NAME);
        return 0;
    case OPT_CHECK:
        return 0;
    case OPT_ERROR:
        return 2;
    case OPT_RUN:
        break;
    }
    OPT_Apply(&opts);
    MAIN_Run();
}
