// Fuzz target: whole FTP sessions of the client against a scripted server
// on 127.0.0.1 whose replies, data and the client's user, password and path
// come from the input. Everything stays on loopback: the server thread
// answers every PASV itself with its own 127.0.0.1 data listener, so no
// fuzzed address is ever connected to (PASV parsing has its own target).
// Input: [op] then records [len lo][len hi][bytes]: user, password, path,
// data-connection payload, then the replies in the order they are sent
// (greeting first). When the replies run out the server hangs up.
// Checks: every command line is one the client may send with the arguments
// it was given (no line break smuggled through); a transfer reported as
// done moved exactly the payload (download and listing) or the file
// (upload); memory and descriptors are ASan/LSan's business.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/endpoints.h"
#include "ftp/ftpClient.h"
#include "fuzz/fuzz_support.h"

namespace {

// Bounds on the server thread's waits. The client runs in this process and
// answers at once; a silent client only means its reply went missing.
constexpr int kCommandWaitMs = 50;
constexpr int kDataWaitMs = 2000;

int listenLoopback(uint16_t *port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(s >= 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(bind(s, (struct sockaddr *)&a, sizeof a) == 0 && listen(s, 4) == 0);
    socklen_t len = sizeof a;
    getsockname(s, (struct sockaddr *)&a, &len);
    *port = ntohs(a.sin_port);
    return s;
}

bool waitIn(int fd, int ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

int acceptWithin(int ls)
{
    return waitIn(ls, kDataWaitMs) ? accept4(ls, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

void sendAll(int fd, const std::string &s)
{
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        off += (size_t)n;
    }
}

struct Script {
    std::string user, pass, path;
    std::string payload;
    std::vector<std::string> replies;
    // Results of the server side.
    bool payloadDelivered = false;
    std::string stored;      // bytes received on a STOR data connection
    bool badCommand = false;
    std::string badLine;     // the first line the client should never send
    int storResult = -1;     // FTP_Storfile's result, checked after the server ends
};

struct Server {
    int ctl = -1;
    int data = -1;
    uint16_t ctlPort = 0, dataPort = 0;
};

// Data connection of one transfer: send the payload (RETR, LIST) or take
// the upload (STOR), then hang up.
void dataPhase(const Server &srv, Script *sc, bool upload)
{
    int d = acceptWithin(srv.data);
    if (d < 0)
        return;
    if (upload) {
        char buf[4096];
        for (;;) {
            if (!waitIn(d, kDataWaitMs))
                break;
            ssize_t n = recv(d, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            sc->stored.append(buf, (size_t)n);
        }
    } else {
        size_t off = 0;
        while (off < sc->payload.size()) {
            ssize_t n = send(d, sc->payload.data() + off, sc->payload.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            off += (size_t)n;
        }
        sc->payloadDelivered = off == sc->payload.size();
    }
    close(d);
}

// A command the client may send: a known verb, alone or with one of the
// arguments it was given. A line break smuggled in through an argument
// shows up as a line that is neither.
bool knownLine(const Script &sc, const std::string &line)
{
    for (const char *verb : {"PASV", "CDUP", "QUIT"})
        if (line == verb)
            return true;
    size_t sp = line.find(' ');
    if (sp == std::string::npos)
        return false;
    std::string verb = line.substr(0, sp), arg = line.substr(sp + 1);
    if (verb == "USER")
        return arg == sc.user;
    if (verb == "PASS")
        return arg == sc.pass;
    if (verb == "TYPE")
        return arg == "I";
    if (verb == "RNTO")
        return arg == "renamed";
    for (const char *v : {"RETR", "SIZE", "STOR", "LIST", "CWD", "MKD", "DELE", "RMD", "RNFR"})
        if (verb == v)
            return arg == sc.path;
    return false;
}

// Answers one command line; false when the script has run out (hang up).
bool answer(const Server &srv, Script *sc, int c, const std::string &line, size_t *next)
{
    if (!knownLine(*sc, line) && !sc->badCommand) {
        sc->badCommand = true;
        sc->badLine = line;
    }
    if (line == "PASV") {
        char pasv[96];
        snprintf(pasv, sizeof pasv, "227 Entering Passive Mode (127,0,0,1,%u,%u)\r\n", srv.dataPort >> 8,
                 srv.dataPort & 0xFFu);
        sendAll(c, pasv);
        return true;
    }
    if (*next >= sc->replies.size())
        return false;
    sendAll(c, sc->replies[(*next)++]);
    bool download = line.compare(0, 5, "RETR ") == 0 || line.compare(0, 5, "LIST ") == 0;
    bool upload = line.compare(0, 5, "STOR ") == 0;
    if (!download && !upload)
        return true;
    dataPhase(srv, sc, upload);
    if (*next >= sc->replies.size())
        return false;  // no final reply
    sendAll(c, sc->replies[(*next)++]);
    return true;
}

void serve(const Server &srv, Script *sc)
{
    int c = acceptWithin(srv.ctl);
    if (c < 0)
        return;
    size_t next = 0;
    bool up = !sc->replies.empty();
    if (up)
        sendAll(c, sc->replies[next++]);  // greeting
    std::string cmd;
    char buf[1024];
    while (up && waitIn(c, kCommandWaitMs)) {
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        cmd.append(buf, (size_t)n);
        // A client that took one long reply for two sends its next command
        // before this one is answered: take every whole line.
        size_t end;
        while (up && (end = cmd.find("\r\n")) != std::string::npos) {
            std::string line = cmd.substr(0, end);
            cmd.erase(0, end + 2);
            up = answer(srv, sc, c, line, &next);
        }
    }
    close(c);
}

// Hanging up also closes the data listener: a passive connection the client
// opened but the server never took is reset instead of left waiting.
void serveAndHangUp(Server *srv, Script *sc)
{
    serve(*srv, sc);
    close(srv->data);
    srv->data = -1;
}

std::string record(const uint8_t **p, size_t *left)
{
    if (*left < 2)
        return std::string();
    size_t len = (size_t)((*p)[0] | (*p)[1] << 8);
    *p += 2;
    *left -= 2;
    if (len > *left)
        len = *left;
    std::string s((const char *)*p, len);
    *p += len;
    *left -= len;
    return s;
}

std::string sandboxFile(const char *name)
{
    std::string dir = EP_Path(EP_PATH_PACKAGE);
    return dir.substr(0, dir.rfind('/') + 1) + name;
}

void runOp(int op, int sock, const std::string &path, Script *sc)
{
    const char *p = path.c_str();
    std::string local = sandboxFile("download");
    switch (op) {
    case 0: {
        int32_t counter = 0;
        int rc = FTP_Retrfile(sock, p, local.c_str(), &counter);
        std::string got;
        if (rc == 0) {
            FUZZ_CHECK(FUZZ_ReadFile(local.c_str(), &got));
            FUZZ_CHECK((size_t)counter == got.size());
            if (sc->payloadDelivered)
                FUZZ_CHECK(got == sc->payload);
        }
        break;
    }
    case 1: {
        char *buf = (char *)0x1;
        int64_t len = -5;
        int rc = FTP_List(sock, p, &buf, &len);
        if (rc == 0) {
            FUZZ_CHECK(len >= 0 && (len == 0 || buf != nullptr));
            if (sc->payloadDelivered)
                FUZZ_CHECK(std::string(buf, (size_t)len) == sc->payload);
            free(buf);
        } else {
            FUZZ_CHECK(buf == (char *)0x1 && len == -5);
        }
        break;
    }
    case 2: {
        std::string src = sandboxFile("upload");
        FILE *f = fopen(src.c_str(), "wb");
        FUZZ_CHECK(f != nullptr);
        fwrite(sc->payload.data(), 1, sc->payload.size(), f);
        fclose(f);
        int64_t counter = 0;
        sc->storResult = FTP_Storfile(sock, src.c_str(), p, &counter, nullptr);
        if (sc->storResult == 0)
            FUZZ_CHECK(counter == (int64_t)sc->payload.size());
        break;
    }
    case 3:
        FTP_Cwd(sock, p);
        FTP_Mkd(sock, p);
        FTP_Cdup(sock);
        break;
    case 4:
        FTP_Renamefile(sock, p, "renamed");
        break;
    default:
        FTP_Deletefile(sock, p);
        FTP_Deletefolder(sock, p);
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FUZZ_Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    int op = data[0] % 6;
    const uint8_t *p = data + 1;
    size_t left = size - 1;
    Script sc;
    sc.user = record(&p, &left).c_str();
    sc.pass = record(&p, &left).c_str();
    sc.path = record(&p, &left).c_str();
    sc.payload = record(&p, &left);
    while (left >= 2 && sc.replies.size() < 32)
        sc.replies.push_back(record(&p, &left));

    Server srv;
    srv.ctl = listenLoopback(&srv.ctlPort);
    srv.data = listenLoopback(&srv.dataPort);
    std::thread server(serveAndHangUp, &srv, &sc);
    int sock = FTP_Connect("127.0.0.1", srv.ctlPort, sc.user.c_str(), sc.pass.c_str());
    if (sock >= 0) {
        runOp(op, sock, sc.path, &sc);
        FTP_Quit(sock);
    }
    server.join();
    close(srv.ctl);
    if (sc.badCommand)
        fprintf(stderr, "unexpected command line: %s\n", sc.badLine.c_str());
    FUZZ_CHECK(!sc.badCommand);
    if (sc.storResult == 0)
        FUZZ_CHECK(sc.stored == sc.payload);  // an upload reported done arrived whole
    return 0;
}
