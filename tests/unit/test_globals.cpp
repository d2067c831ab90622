// The shared record: its event word and start-up.
#include <gtest/gtest.h>

#include <sys/msg.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "core/endpoints.h"
#include "core/globals.h"

namespace {

TEST(Events, BitsChangeIndependentlyUnderContention)
{
    g_gbVar.events.store(0);
    std::thread t([] {
        for (int i = 0; i < 100000; i++) {
            GB_SetEvent(GB_EVENT_UART_CONFIG);
            GB_ClearEvent(GB_EVENT_UART_CONFIG);
        }
    });
    GB_SetEvent(GB_EVENT_EXIT);
    t.join();
    EXPECT_TRUE(GB_TestEvent(GB_EVENT_EXIT));
    EXPECT_FALSE(GB_TestEvent(GB_EVENT_UART_CONFIG));
    EXPECT_EQ(GB_Events(), GB_EVENT_EXIT);
}

TEST(Init, NoIdentityFileFailsWithOne)
{
    char tmpl[] = "/tmp/adapterd-globals-XXXXXX";
    std::string root = mkdtemp(tmpl);
    ASSERT_EQ(EP_SetRoot(root.c_str()), 0);
    EP_SetMsgKey(0x41430000 + (getpid() & 0xffff));
    testing::internal::CaptureStdout();
    EXPECT_EQ(GB_Init(), 1);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[globals]: verCode:1, verName:1.1\r\n"
              "[globals]:gbReadAdapterInfo open error\r\n"
              "error(0x1) in GB_Init, line:66\r\n");
    // The queue comes before the identity file, so it exists even now.
    if (g_gbVar.msgId >= 0)
        msgctl(g_gbVar.msgId, IPC_RMID, nullptr);
    rmdir(root.c_str());
}

TEST(Init, SuccessPreparesRecord)
{
    char tmpl[] = "/tmp/adapterd-globals-XXXXXX";
    std::string root = mkdtemp(tmpl);
    std::string cmd = "mkdir -p '" + root + "/etc/config' && printf 'serialNum S9\\n' > '" + root +
                      "/etc/config/device_info'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    ASSERT_EQ(EP_SetRoot(root.c_str()), 0);
    EP_SetMsgKey(0x41430000 + (getpid() & 0xffff));
    ASSERT_EQ(GB_Init(), 0);
    EXPECT_EQ(GB_Events(), 0u);
    EXPECT_EQ(g_gbVar.tcpThd, GB_THREAD_NONE);
    EXPECT_EQ(g_gbVar.uartThd, GB_THREAD_NONE);
    EXPECT_EQ(g_gbVar.ledThd, GB_THREAD_NONE);
    EXPECT_EQ(g_gbVar.aliveMsg.mtype, 1);
    EXPECT_STREQ(g_gbVar.aliveMsg.mtext, "app-alive");
    // An existing queue with the key is used as it is.
    int first = g_gbVar.msgId;
    ASSERT_EQ(GB_Init(), 0);
    EXPECT_EQ(g_gbVar.msgId, first);
    msgctl(first, IPC_RMID, nullptr);
    cmd = "rm -rf '" + root + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
}

}  // namespace
