// ftp-get: fetches one file with the adapter's own FTP client, exactly as
// a remote upgrade does (connect and log in, binary RETR over a passive
// connection, QUIT). For trying an FTP server by hand and for measuring
// the client.
//   ftp-get HOST PORT USER PASS REMOTE_PATH LOCAL_PATH
// Exit status 0 when the file was stored, 1 otherwise, 2 for bad usage;
// --help and --version as the other tools.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/globals.h"
#include "ftp/ftpClient.h"

int main(int argc, char **argv)
{
    if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        printf("usage: ftp-get HOST PORT USER PASS REMOTE_PATH LOCAL_PATH\n"
               "Fetches REMOTE_PATH with the adapter's FTP client into LOCAL_PATH.\n"
               "exit status: 0 stored, 1 failed, 2 usage error\n");
        return 0;
    }
    if (argc == 2 && (strcmp(argv[1], "-V") == 0 || strcmp(argv[1], "--version") == 0)) {
        printf("ftp-get %s\n", GB_VER_NAME);
        return 0;
    }
    if (argc != 7) {
        fprintf(stderr, "ftp-get: %s\nusage: ftp-get HOST PORT USER PASS REMOTE_PATH LOCAL_PATH\n",
                argc < 7 ? "too few arguments" : "too many arguments");
        return 2;
    }
    char *end = nullptr;
    long port = strtol(argv[2], &end, 10);
    if (*end != '\0' || port < 1 || port > 65535) {
        fprintf(stderr, "%s: bad port %s\n", argv[0], argv[2]);
        return 2;
    }
    int sock = FTP_Connect(argv[1], (int)port, argv[3], argv[4]);
    if (sock < 0)
        return 1;
    int32_t count = 0;
    int rc = FTP_Retrfile(sock, argv[5], argv[6], &count);
    FTP_Quit(sock);
    fprintf(stderr, "%s: %s, %ld bytes\n", argv[0], rc == 0 ? "stored" : "failed", (long)count);
    return rc == 0 ? 0 : 1;
}
