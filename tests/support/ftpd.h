// A real FTP server for tests: ftpd.py (pyftpdlib from the system python) on
// 127.0.0.1 (or ::1), serving a private temporary root to one account. It ends when
// this process closes its stdin, so it never outlives a crashed test.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace th {

class Ftpd {
public:
    // announce: the address PASV replies name instead of 127.0.0.1 (a
    // loopback one the server does not listen on), or nullptr; listen: the
    // address it listens on instead of 127.0.0.1 ("::1"), or nullptr.
    Ftpd(const char *user, const char *pass, const char *announce = nullptr, const char *listen = nullptr)
    {
        char tmpl[] = "/tmp/ftpd-root-XXXXXX";
        root_ = mkdtemp(tmpl);
        std::string script = __FILE__;
        script = script.substr(0, script.rfind('/')) + "/ftpd.py";
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            // The full path as the program name too: given a bare name,
            // python looks itself up in PATH to find its library, and a
            // PATH whose first python is another one would lose pyftpdlib.
            if (announce != nullptr || listen != nullptr)
                execl("/usr/bin/python3", "/usr/bin/python3", script.c_str(), root_.c_str(), user, pass, "0",
                      announce != nullptr ? announce : "", listen != nullptr ? listen : "127.0.0.1",
                      (char *)nullptr);
            else
                execl("/usr/bin/python3", "/usr/bin/python3", script.c_str(), root_.c_str(), user, pass,
                      (char *)nullptr);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        char line[32] = {0};  // first line: the port
        for (size_t got = 0; got < sizeof line - 1; got++) {
            if (read(out[0], line + got, 1) != 1 || line[got] == '\n')
                break;
        }
        close(out[0]);
        port_ = atoi(line);
    }
    ~Ftpd()
    {
        if (stdin_ >= 0)
            close(stdin_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::string cmd = "rm -rf '" + root_ + "'";
        int rc = system(cmd.c_str());
        (void)rc;
    }
    Ftpd(const Ftpd &) = delete;
    Ftpd &operator=(const Ftpd &) = delete;

    int port() const { return port_; }  // 0 when the server did not start
    std::string path(const std::string &rel) const { return root_ + "/" + rel; }
    // Stores data under rel, creating one level of directory if needed.
    void put(const std::string &rel, const std::string &data) const
    {
        std::string p = path(rel);
        mkdir(p.substr(0, p.rfind('/')).c_str(), 0755);
        FILE *f = fopen(p.c_str(), "wb");
        if (f == nullptr)
            return;
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }

private:
    std::string root_;
    pid_t pid_ = -1;
    int stdin_ = -1;
    int port_ = 0;
};

}  // namespace th
