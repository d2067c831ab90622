// What the operator tools share on their command line: exit statuses, one
// way to report a usage error, so every tool fails the same way for scripts,
// and the words for an identity value the adapter would refuse.
#pragma once

#include <getopt.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/globals.h"
#include "core/identity.h"

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

// The usage error for what getopt_long reported: c is ':' (no value) or
// '?' (unknown option, or a value for one that takes none), and before is
// optind as it was before that call. Names the option as it was typed;
// always returns EXIT_USAGE.
inline int CLI_OptionError(const char *prog, const char *synopsis, char **argv, int before, int c,
                           const char *shortOpts)
{
    // In a cluster of short options ("-je") getopt stays on its word.
    const char *word = argv[optind > before ? optind - 1 : optind];
    if (strncmp(word, "--", 2) == 0) {
        int len = (int)strcspn(word + 2, "=");
        if (c == ':')
            return CLI_UsageError(prog, synopsis, "option --%.*s needs a value", len, word + 2);
        if (word[2 + len] == '=' && optopt != 0)
            return CLI_UsageError(prog, synopsis, "option --%.*s takes no value", len, word + 2);
        return CLI_UsageError(prog, synopsis, "unknown option --%.*s", len, word + 2);
    }
    if (c == ':')
        return CLI_UsageError(prog, synopsis, "option -%c needs a value", optopt);
    // "-j=1": getopt takes the -j and stumbles on the '='.
    const char *eq = strchr(word, '=');
    if (optopt == '=' && eq != nullptr && eq > word + 1 && strchr(shortOpts, eq[-1]) != nullptr)
        return CLI_UsageError(prog, synopsis, "option -%c takes no value (write -%c alone)", eq[-1], eq[-1]);
    return CLI_UsageError(prog, synopsis, "unknown option -%c", optopt);
}

// value as it can be shown in a message: control characters as \xHH.
inline std::string CLI_Shown(const char *value)
{
    std::string s;
    for (const unsigned char *p = (const unsigned char *)value; *p != '\0'; p++) {
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02x", *p);
        s += *p < 0x20 || *p == 0x7F ? std::string(hex) : std::string(1, (char)*p);
    }
    return s;
}

// Why value cannot be the adapter's serial number (or pairing code), as the
// adapter itself would decide, said for people with lengths in bytes; empty
// when it can be stored.
inline std::string CLI_IdentityError(const char *value, bool isSerialNum)
{
    const char *why = GB_DeviceInfoError(value, isSerialNum);
    if (why == nullptr)
        return "";
    const char *name = isSerialNum ? "serial number" : "pairing code";
    size_t len = strlen(value), most = (isSerialNum ? GB_SERIALNUM_SIZE : GB_PAIRCODE_SIZE) - 1;
    if (len > most)
        return std::string(name) + " is " + std::to_string(len) + " bytes, at most " + std::to_string(most);
    if (len == 0)
        return std::string(name) + " is empty; it takes 1 to " + std::to_string(most) + " bytes";
    return std::string(name) + " '" + CLI_Shown(value) + "' " + why + " (the identity file cannot keep it)";
}
