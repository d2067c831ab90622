// Small blocking FTP client (passive data connections, binary type): one
// receive is one reply, 512-byte transfer chunks, 15 s socket time-outs.
// No state of its own; every operation takes the control socket.
//
// Reply results: the reply's leading code; -1 when nothing could be
// exchanged (send failed, connection closed, time-out). A command line that
// does not fit its buffer, or whose argument holds a line break, is never
// sent: its operation fails with -1. Operations that pass on a reply result
// report a reply without a code as -1, never as 0 (success).
//
// cancelFd (-1: none), where an operation takes one, ends every connect and
// reply wait of that operation as soon as it turns readable, as a time-out
// would; name resolution is the one wait it cannot cut short.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

// Logged-in control socket, or -1 (socket closed).
int FTP_Connect(const char *host, int port, const char *user, const char *pass, int cancelFd = -1);
// Sends QUIT, closes the socket whatever the reply; returns the reply result.
int FTP_Quit(int sock, int cancelFd = -1);
int FTP_Cwd(int sock, const char *path);      // 0, or -1 for any failure
int FTP_Cdup(int sock);                       // 0, or the reply result
int FTP_Mkd(int sock, const char *path);      // 0, or the reply result
int FTP_Deletefile(int sock, const char *path);    // 0, or the reply result
int FTP_Deletefolder(int sock, const char *path);  // 0, or the reply result
// RNFR, and RNTO only after 350. 0, or the result of the step that failed.
int FTP_Renamefile(int sock, const char *from, const char *to);
// 0 with *buf (caller frees, no terminating NUL) and *len set; otherwise the
// failing result, with *buf and *len unchanged and nothing left allocated.
int FTP_List(int sock, const char *path, char **buf, int64_t *len);
// 0 on success; -1 or the server's code otherwise. abortFlag may be null; it
// is looked at after every chunk sent. counter (may be null) adds bytes sent.
int FTP_Storfile(int sock, const char *localPath, const char *remotePath, int64_t *counter,
                 const std::atomic<int> *abortFlag);
// 0 on success, -1 otherwise. In binary type it asks SIZE first: when the
// server gives a length, the fetch succeeds only with exactly that many
// bytes; a server that does not know SIZE (5xx) is fetched without that
// check, any other SIZE reply fails before RETR. Success also needs a final
// 226 or 250. limit (-1: none) refuses a file longer than that many bytes,
// by its SIZE or as soon as more arrived. counter (may be null) adds the
// bytes written (a file over INT32_MAX bytes fails). The local file (mode 0644 less
// the umask) is created/truncated only once RETR was answered with 1xx or
// 2xx, or not at all within the time-out; a failure before that leaves it
// as it was, one after it leaves it partly written. Once cancelFd (-1:
// none) is readable the fetch is abandoned (-1) at whichever wait it is in,
// also between two chunks of data while the server is silent. The data
// connection goes to the control connection's peer, at the port PASV
// (IPv4) or EPSV (IPv6) names; an address a PASV reply names is not used.
int FTP_Retrfile(int sock, const char *remotePath, const char *localPath, int32_t *counter,
                 int cancelFd = -1, int32_t limit = -1);
// Listening socket announced with PORT (IPv4 control connections only), or
// -1 (nothing left open).
int ftpCreateDatasock(int ctrlSock);

// Exposed for unit tests.
// Reads "(h1,h2,h3,h4,p1,p2)" from a PASV reply: the group must follow at
// least one other character, each number 0..255. 0 with host ("a.b.c.d") and
// *port set; -1 (host and *port unchanged) when the reply does not parse.
int ftpParsePasv(const char *reply, char *host, size_t hostSize, int *port);
// Reads the port of a 229 EPSV reply's "(|||port|)" (any printable
// delimiter but a digit, the port 1..65535). 0 with *port set; -1 (*port
// unchanged) otherwise.
int ftpParseEpsv(const char *reply, int *port);
// Leading decimal code of a reply (white space skipped); 0 when the reply
// does not begin with a digit; values above 999 read as 999.
int ftpReplyCode(const char *reply);
