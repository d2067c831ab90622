// What the operator tools share on their command line: exit statuses and one
// way to report a usage error, so every tool fails the same way for scripts.
#pragma once

#include <cstdarg>
#include <cstdio>

enum ToolExit { EXIT_OK = 0, EXIT_FAIL = 1, EXIT_USAGE = 2 };

// Prints "PROG: message", the synopsis and a pointer to --help on stderr;
// always returns EXIT_USAGE, so callers can return it directly.
__attribute__((format(printf, 3, 4))) inline int CLI_UsageError(const char *prog, const char *synopsis,
                                                                const char *fmt, ...)
{
    fprintf(stderr, "%s: ", prog);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fprintf(stderr, "\n%sTry '%s --help' for more information.\n", synopsis, prog);
    return EXIT_USAGE;
}
