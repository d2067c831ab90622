// FTP client against a real FTP server (pyftpdlib from the system python)
// on a loopback port with a private root directory.
#include "ftp/ftpClient.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "tests/support/ftpd.h"

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void spit(const std::string &path, const std::string &data)
{
    std::ofstream(path, std::ios::binary) << data;
}

std::string randomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &ch : s)
        ch = (char)(rng() & 0xFF);
    return s;
}

// pyftpdlib with account "tester"/"secret".
struct Server : th::Ftpd {
    explicit Server(const char *announce = nullptr) : th::Ftpd("tester", "secret", announce) {}
    int login() const { return FTP_Connect("127.0.0.1", port(), "tester", "secret"); }
};

}  // namespace

TEST(FtpInterop, DownloadsAMultiMegabyteFileByteExact)
{
    Server srv;
    ASSERT_GT(srv.port(), 0);
    std::string data = randomBytes(6 * 1024 * 1024 + 123, 11);
    srv.put("pkg/zovClient.tar", data);
    int sock = srv.login();
    ASSERT_GE(sock, 0);
    std::string local = srv.path("downloaded.tar");
    int32_t count = 0;
    EXPECT_EQ(FTP_Retrfile(sock, "/pkg/zovClient.tar", local.c_str(), &count), 0);
    EXPECT_EQ(count, (int32_t)data.size());
    EXPECT_TRUE(slurp(local) == data);
    // A missing file is refused and leaves the local file as it was.
    EXPECT_EQ(FTP_Retrfile(sock, "/pkg/missing.tar", local.c_str(), &count), -1);
    EXPECT_TRUE(slurp(local) == data);
    EXPECT_EQ(FTP_Quit(sock), 221);
}

// A server behind NAT announces an address it cannot be reached at: here
// 127.0.0.2, while it listens on 127.0.0.1 only. The data connection goes to
// the control connection's peer and the fetch works, its length checked
// against the server's SIZE; so does a tiny file within a limit, and one
// over it is refused.
TEST(FtpInterop, DataConnectionGoesToTheServerNotThePasvAddress)
{
    Server srv("127.0.0.2");
    ASSERT_GT(srv.port(), 0);
    std::string data = randomBytes(2 * 1024 * 1024 + 9, 14);
    srv.put("pkg/big.tar", data);
    srv.put("pkg/small.sig", "untrusted comment: x\nRWQ=\n");
    int sock = srv.login();
    ASSERT_GE(sock, 0);
    std::string local = srv.path("fetched.tar");
    int32_t count = 0;
    EXPECT_EQ(FTP_Retrfile(sock, "/pkg/big.tar", local.c_str(), &count), 0);
    EXPECT_EQ(count, (int32_t)data.size());
    EXPECT_TRUE(slurp(local) == data);
    EXPECT_EQ(FTP_Retrfile(sock, "/pkg/small.sig", local.c_str(), nullptr, -1, 1024), 0);
    EXPECT_EQ(slurp(local), "untrusted comment: x\nRWQ=\n");
    EXPECT_EQ(FTP_Retrfile(sock, "/pkg/big.tar", srv.path("refused").c_str(), nullptr, -1, 1024), -1);
    EXPECT_EQ(access(srv.path("refused").c_str(), F_OK), -1);  // refused by its SIZE, before RETR
    EXPECT_EQ(FTP_Quit(sock), 221);
}

TEST(FtpInterop, UploadsAndManagesFiles)
{
    Server srv;
    ASSERT_GT(srv.port(), 0);
    std::string data = randomBytes(300 * 1024 + 5, 12);
    char tmpl[] = "/tmp/ftpuploadXXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    spit(tmpl, data);

    int sock = srv.login();
    ASSERT_GE(sock, 0);
    EXPECT_EQ(FTP_Mkd(sock, "incoming"), 0);
    EXPECT_EQ(FTP_Cwd(sock, "incoming"), 0);
    int64_t sent = 0;
    EXPECT_EQ(FTP_Storfile(sock, tmpl, "up.bin", &sent, nullptr), 0);
    EXPECT_EQ(sent, (int64_t)data.size());
    EXPECT_TRUE(slurp(srv.path("incoming/up.bin")) == data);
    EXPECT_EQ(FTP_Renamefile(sock, "up.bin", "renamed.bin"), 0);
    EXPECT_TRUE(slurp(srv.path("incoming/renamed.bin")) == data);
    EXPECT_GE(FTP_Renamefile(sock, "up.bin", "again.bin"), 300);  // gone: RNFR refused
    EXPECT_EQ(FTP_Cwd(sock, "no-such-dir"), -1);
    EXPECT_EQ(FTP_Deletefile(sock, "renamed.bin"), 0);
    EXPECT_EQ(FTP_Cdup(sock), 0);
    EXPECT_EQ(FTP_Deletefolder(sock, "incoming"), 0);
    EXPECT_GE(FTP_Deletefolder(sock, "incoming"), 500);
    EXPECT_EQ(access(srv.path("incoming").c_str(), F_OK), -1);
    EXPECT_EQ(FTP_Quit(sock), 221);
    unlink(tmpl);
}

TEST(FtpInterop, ListsADirectory)
{
    Server srv;
    ASSERT_GT(srv.port(), 0);
    mkdir(srv.path("pub").c_str(), 0755);
    // Enough entries that the listing needs several doublings.
    for (int i = 0; i < 60; i++)
        spit(srv.path("pub/firmware-" + std::to_string(i) + ".tar"), std::string((size_t)i, 'x'));
    int sock = srv.login();
    ASSERT_GE(sock, 0);
    char *buf = nullptr;
    int64_t len = 0;
    ASSERT_EQ(FTP_List(sock, "/pub", &buf, &len), 0);
    std::string listing(buf, (size_t)len);
    free(buf);
    EXPECT_GT(len, 2048);
    for (int i = 0; i < 60; i++)
        EXPECT_NE(listing.find("firmware-" + std::to_string(i) + ".tar\r\n"), std::string::npos) << i;
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 60);
    EXPECT_EQ(FTP_Quit(sock), 221);
}

TEST(FtpInterop, WrongPasswordFailsTheLogin)
{
    Server srv;
    ASSERT_GT(srv.port(), 0);
    EXPECT_EQ(FTP_Connect("127.0.0.1", srv.port(), "tester", "wrong"), -1);
    EXPECT_EQ(FTP_Connect("127.0.0.1", srv.port(), "nobody", "secret"), -1);
}
