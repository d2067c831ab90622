// Modem commands on a pseudo-terminal standing in for the modem's AT port.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "board/gsm.h"
#include "serial/uart.h"

namespace {

struct Modem {
    int master = -1;
    int32_t fd = -1;
    Modem()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        fd = UART_Open(ptsname(master), 9600, 8, 'N', 1);
    }
    ~Modem()
    {
        UART_Close(&fd);
        close(master);
    }
    // What the adapter wrote, read until 50 ms of quiet.
    std::string take()
    {
        std::string s;
        char b[256];
        struct pollfd p = {master, POLLIN, 0};
        while (poll(&p, 1, 50) > 0) {
            ssize_t n = read(master, b, sizeof b);
            if (n <= 0)
                break;
            s.append(b, (size_t)n);
        }
        return s;
    }
    // Answers the next command once it has arrived.
    std::thread answerAfterCommand(std::string reply)
    {
        return std::thread([this, reply] {
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 2000) > 0 && write(master, reply.data(), reply.size()) < 0)
                perror("modem reply");
        });
    }
};

}  // namespace

TEST(Gsm, CommandBytesAndSilence)
{
    Modem m;
    ASSERT_GE(m.fd, 0);
    struct Cmd {
        int32_t (*fn)(int32_t);
        const char *bytes;
    };
    const Cmd cmds[] = {{gsmEnableState, "AT^LEDCTRL=1\r"},
                        {gsmDisableState, "AT^LEDCTRL=0\r"},
                        {gsmReset, "AT^RESET\r"},
                        {gsmRegNetwork, "AT+CREG=1\r"}};
    for (const Cmd &c : cmds) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(c.fn(m.fd), -1);  // a silent modem
        EXPECT_EQ(m.take(), c.bytes);
    }
}

TEST(Gsm, AnyReplyCounts)
{
    Modem m;
    ASSERT_GE(m.fd, 0);
    for (std::string reply : {std::string("\r\nOK\r\n"), std::string("E"), std::string("\r\nERROR\r\n")}) {
        std::thread t = m.answerAfterCommand(reply);
        EXPECT_EQ(gsmEnableState(m.fd), 0);
        t.join();
        m.take();
    }
    // A reply longer than 100 bytes: 0, and the rest stays in the input.
    std::thread t = m.answerAfterCommand(std::string(150, 'x'));
    EXPECT_EQ(gsmReset(m.fd), 0);
    t.join();
    uint8_t rest[200];
    EXPECT_EQ(UART_Read(m.fd, rest, sizeof rest), 50);
}

TEST(Gsm, BadHandle)
{
    fflush(stdout);
    int saved = dup(1);
    FILE *tmp = tmpfile();
    dup2(fileno(tmp), 1);
    EXPECT_EQ(gsmEnableState(-1), -1);
    EXPECT_EQ(gsmDisableState(-1), -1);
    EXPECT_EQ(gsmReset(-1), -1);
    EXPECT_EQ(gsmRegNetwork(-1), -1);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    rewind(tmp);
    char buf[512] = {0};
    size_t n = fread(buf, 1, sizeof buf - 1, tmp);
    fclose(tmp);
    EXPECT_EQ(std::string(buf, n),
              "\xA1\xBE" "GSM\xA1\xBF:gsmEnableState: bad fd\r\n"
              "\xA1\xBE" "GSM\xA1\xBF:gsmDisableState: bad fd\r\n"
              "\xA1\xBE" "GSM\xA1\xBF:gsmReset: bad fd\r\n");
}
