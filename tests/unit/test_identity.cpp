// The identity file: its plain-text rule, what uci reads, the rewrite and
// its sharing of the file with uci.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/endpoints.h"
#include "core/globals.h"
#include "core/identity.h"
#include "tests/support/fsorder.h"

namespace {

class Identity : public testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/adapterd-identity-XXXXXX";
        root_ = mkdtemp(tmpl);
        mkdir((root_ + "/etc").c_str(), 0755);
        mkdir((root_ + "/etc/config").c_str(), 0755);
        ASSERT_EQ(EP_SetRoot(root_.c_str()), 0);
        write("");   // start from a known pair: both empty
        ASSERT_EQ(gbInitDeviceInfo(), 0);
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + root_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string file() const { return root_ + "/etc/config/device_info"; }
    void write(const std::string &content)
    {
        std::ofstream f(file(), std::ios::binary | std::ios::trunc);
        f << content;
    }
    std::string read() const
    {
        std::ifstream f(file(), std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    // Loads the file as start-up does and returns "sn|pc".
    std::string load()
    {
        EXPECT_EQ(gbInitDeviceInfo(), 0);
        char sn[GB_SERIALNUM_SIZE], pc[GB_PAIRCODE_SIZE];
        GB_GetDeviceInfo(sn, pc);
        return std::string(sn) + "|" + pc;
    }
    std::string root_;
};

TEST(TagSearch, BlanksEqualsQuotesAndFirstOccurrence)
{
    char v[12];
    // Wholly quoted, as uci writes: the text inside, as it is.
    EXPECT_EQ(GB_GetTagValueStr("\toption serialNum 'AB 12'\r\n", "serialNum", v, sizeof v), 1);
    EXPECT_STREQ(v, "AB 12");
    EXPECT_EQ(GB_GetTagValueStr("serialNum= \"S=N\"\t \nx", "serialNum", v, sizeof v), 1);
    EXPECT_STREQ(v, "S=N");
    EXPECT_EQ(GB_GetTagValueStr("serialNum ''\n", "serialNum", v, sizeof v), 0);
    EXPECT_STREQ(v, "");
    // Not wholly quoted: read as always, quotes kept, blanks dropped.
    for (const char *line : {"serialNum 'A B\"\n", "serialNum ' \n"}) {
        EXPECT_EQ(GB_GetTagValueStr(line, "serialNum", v, sizeof v), 1);
        EXPECT_STREQ(v, line[11] == 'A' ? "'AB\"" : "'");
    }
    EXPECT_EQ(GB_GetTagValueStr("serialNum = X=Y\n", "serialNum", v, sizeof v), 1);
    EXPECT_STREQ(v, "XY");
    EXPECT_EQ(GB_GetTagValueStr("sn pairCode1\npairCode 2\n", "pairCode", v, sizeof v), 1);
    EXPECT_STREQ(v, "1");       // the first occurrence wins
    EXPECT_EQ(GB_GetTagValueStr("a\tb serialNum\tT\r\n", "serialNum", v, sizeof v), 1);
    EXPECT_STREQ(v, "\tT");     // tabs are copied
}

TEST(TagSearch, MissingOrEmptyValue)
{
    char v[12] = "keep";
    EXPECT_EQ(GB_GetTagValueStr("nothing here", "serialNum", v, sizeof v), 0);
    EXPECT_STREQ(v, "keep");    // untouched when the tag is absent
    testing::internal::CaptureStdout();
    EXPECT_EQ(GB_GetTagValueStr("option serialNum\r\nx", "serialNum", v, sizeof v), 0);
    fflush(stdout);
    EXPECT_STREQ(v, "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[globals]: tag: serialNum, value: \r\n");
}

TEST(TagSearch, LongValueIsCutToTheField)
{
    char v[8];
    memset(v, 'Z', sizeof v);
    EXPECT_EQ(GB_GetTagValueStr("pairCode 0123456789ABCDEF\n", "pairCode", v, sizeof v), 1);
    EXPECT_STREQ(v, "0123456");
}

// The reader against what OpenWrt's uci prints for `uci get
// device_info.@deviceInfo[0].serialNum` (and pairCode) on the same file;
// each row names the rule of uci's parser it pins down. "" where uci finds
// no entry; REFUSED where it stops with a parse error and gives nothing.
TEST(UciRead, EveryCaseAFileCanHold)
{
    struct Row {
        const char *text;
        int32_t kind;
        const char *sn;
        const char *pc;
    };
    const Row rows[] = {
        {"config deviceInfo\n\toption serialNum SN0001\n\toption pairCode PC1\n", IDENTITY_UCI_SECTION, "SN0001", "PC1"},  // plain words
        {"config deviceInfo\r\n\toption serialNum SN0001\r\n\toption pairCode PC1\r\n", IDENTITY_UCI_SECTION, "SN0001", "PC1"},  // CR LF
        {"config deviceInfo\n\toption serialNum SN#0008\n", IDENTITY_UCI_SECTION, "SN", ""},  // unquoted # ends the value
        {"config deviceInfo\n\toption serialNum SN;0008\n\toption pairCode P1\n", IDENTITY_UCI_SECTION, "SN", "P1"},  // unquoted ; ends the value and the line
        {"config deviceInfo\n\toption serialNum 'SN'\"0010\"\n", IDENTITY_UCI_SECTION, "SN0010", ""},  // adjacent quoted parts join
        {"config deviceInfo\n\toption serialNum SN'0'11\n", IDENTITY_UCI_SECTION, "SN011", ""},  // unquoted and quoted parts join
        {"config deviceInfo\n\toption serialNum \"S\\\"N\\\\1\"\n", IDENTITY_UCI_SECTION, "S\"N\\1", ""},  // backslash escapes in double quotes
        {"config deviceInfo\n\toption serialNum 'S\\N'\n", IDENTITY_UCI_SECTION, "S\\N", ""},  // backslash literal in single quotes
        {"config deviceInfo\n\toption serialNum S\\ N\n", IDENTITY_UCI_SECTION, "S N", ""},  // backslash outside quotes keeps a blank
        {"config deviceInfo\n\toption serialNum \"SN#1\" # c\n", IDENTITY_UCI_SECTION, "SN#1", ""},  // # inside quotes is text
        {"config deviceInfo 'main'\n\toption serialNum A1\nconfig other\n\toption serialNum X\nconfig deviceInfo main\n\toption serialNum B2\n\toption pairCode P2\n", IDENTITY_UCI_SECTION, "B2", "P2"},  // named section given twice is merged, later wins
        {"config deviceInfo\n\toption serialNum A1\nconfig deviceInfo\n\toption serialNum B2\n", IDENTITY_UCI_SECTION, "A1", ""},  // first of two anonymous sections
        {"config deviceInfo\n\toption serialNum A1\n\toption serialNum B2\n", IDENTITY_UCI_SECTION, "B2", ""},  // last of two lines wins
        {"config deviceInfo\n\tlist serialNum L1\n", IDENTITY_UCI_SECTION, "L1", ""},  // list gives its item
        {"config deviceInfo\n\toption serialNum A1\n\tlist serialNum L2\n", IDENTITY_UCI_SECTION, "A1 L2", ""},  // option then list: items joined
        {"config deviceInfo\n\toption serialNum S1\n\toption pairCode ''\n", IDENTITY_UCI_SECTION, "S1", ""},  // empty value: no option
        {"config deviceInfo\n\toption serialNum S1\n\toption pairCode P1\n\toption pairCode ''\n", IDENTITY_UCI_SECTION, "S1", "P1"},  // empty value changes nothing
        {"config deviceInfo\n\toption serialNum=SN1\n", IDENTITY_UCI_REFUSED, "", ""},  // = in a name: refused
        {"config deviceInfo\n\toption serialNum SN1 extra\n", IDENTITY_UCI_REFUSED, "", ""},  // too many arguments: refused
        {"option serialNum SN1\nconfig deviceInfo\n", IDENTITY_UCI_REFUSED, "", ""},  // option before section: refused
        {"config deviceInfo\n\toption serialNum 'SN1\n", IDENTITY_UCI_REFUSED, "", ""},  // unterminated quote: refused
        {"config deviceInfo main\n\toption serialNum S1\nconfig other main\n", IDENTITY_UCI_REFUSED, "", ""},  // same name other type: refused
        {"serialNum S9\n", IDENTITY_UCI_REFUSED, "", ""},  // plain text: refused
        {"config deviceInfo\n\toption serialNum 'S\nN'\n", IDENTITY_UCI_SECTION, "S\nN", ""},  // quote spanning lines
        {"config deviceInfo\n\toption serialNum S\\\n1\n", IDENTITY_UCI_SECTION, "S1", ""},  // backslash newline continues
        {"package device_info\nconfig deviceInfo\n\toption 'serialNum' \"Q1\"\n", IDENTITY_UCI_SECTION, "Q1", ""},  // package line; quoted name
        {"c deviceInfo\n\to serialNum S1\n\to pairCode P1\n", IDENTITY_UCI_SECTION, "S1", "P1"},  // one-letter commands
        {"config other\n\toption serialNum X\n", IDENTITY_UCI_NONE, "", ""},  // no deviceInfo section
        {"config deviceInfo\n\toption serialNum 'A1'; option pairCode P1\n", IDENTITY_UCI_SECTION, "A1", "P1"},  // ; after a quoted value: next command runs
        {"config deviceInfo\n\toption serialNum A1 ;option pairCode P1\n", IDENTITY_UCI_SECTION, "A1", "P1"},  // ; after a blank
        {"config deviceInfo\n  # comment\n\toption serialNum\tT1\t\n", IDENTITY_UCI_SECTION, "T1", ""},  // tabs
        {"config deviceInfo\n\toption serialNum\n", IDENTITY_UCI_SECTION, "", ""},  // option without value
        {"config deviceInfo\n\toption serialNum \n", IDENTITY_UCI_SECTION, "", ""},  // option with blank only
        {"config 'deviceInfo'\n\toption serialNum S1\n", IDENTITY_UCI_SECTION, "S1", ""},  // quoted type
        {"config deviceInfo\noption serialNum S1\npairCode\n", IDENTITY_UCI_REFUSED, "", ""},  // invalid command
        {"config deviceInfo\n\toption serialNum S1\nconfig\n", IDENTITY_UCI_REFUSED, "", ""},  // config without type
        {"config deviceInfo\n\toption serialNum S1", IDENTITY_UCI_SECTION, "S1", ""},  // no final newline
        {"config deviceInfo\n\tlist serialNum ''\n", IDENTITY_UCI_SECTION, "", ""},  // list empty item
        {"config deviceInfo\n\toption serialNum S\xc3""\xa9""1\n", IDENTITY_UCI_SECTION, "S\xc3""\xa9""1", ""},  // bytes above 0x7F
    };
    for (const Row &r : rows) {
        char sn[GB_SERIALNUM_SIZE] = "x", pc[GB_PAIRCODE_SIZE] = "x";
        uint32_t line = 0;
        EXPECT_EQ(IDENTITY_UciRead(r.text, sn, sizeof sn, pc, sizeof pc, &line), r.kind) << r.text;
        EXPECT_STREQ(sn, r.sn) << r.text;
        EXPECT_STREQ(pc, r.pc) << r.text;
        EXPECT_EQ(line != 0, r.kind == IDENTITY_UCI_REFUSED) << r.text;
    }
    // uci names the line it stops at.
    uint32_t line = 0;
    char sn[GB_SERIALNUM_SIZE], pc[GB_PAIRCODE_SIZE];
    IDENTITY_UciRead("config deviceInfo\n\n\toption serialNum SN1 extra\n", sn, sizeof sn, pc, sizeof pc, &line);
    EXPECT_EQ(line, 3u);
}

TEST_F(Identity, FileRulesAtStartUp)
{
    write("config deviceInfo\r\n\toption serialNum SN0001\r\n\toption pairCode PC1\r\n");
    EXPECT_EQ(load(), "SN0001|PC1");

    write("");
    EXPECT_EQ(load(), "|");     // empty file: empty fields, start-up goes on

    // The whole file counts, as uci reads it: a maker's comment in front
    // hides nothing, and neither comments nor other sections give values.
    write("# " + std::string(300, 'c') + " serialNum NOT\r\nconfig other\r\n\toption serialNum NOT2\r\n"
          "config 'deviceInfo'\r\n\toption serialNum \"SN7\" # set at the factory\r\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(load(), "SN7|");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[globals]: tag: serialNum, value: SN7\r\n");
    // Up to 4096 bytes: what lies beyond is not read.
    write(std::string(4090, '#') + "\nserialNum X\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(load(), "|");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("[globals]: no serialNum in "), std::string::npos);

    // A NUL ends the text early.
    write(std::string("pairCode P1\n\0serialNum S1\n", 26));
    EXPECT_EQ(load(), "|P1");

    // Oversized values from the file are cut, never overrun the fields.
    write("serialNum 0123456789ABCDEF\npairCode 0123456789\n");
    EXPECT_EQ(load(), "0123456789A|0123456");
}

TEST_F(Identity, RewriteReadsBackAndLeavesNoTemporary)
{
    // A second name for the old file: a rewrite in place would change what
    // it shows, a replacement leaves it the old identity.
    std::string old = read();
    std::string link = root_ + "/old_device_info";
    ASSERT_EQ(::link(file().c_str(), link.c_str()), 0);
    testing::internal::CaptureStdout();
    ASSERT_EQ(GB_ModifyDeviceInfo("ABC123", "9876"), 0);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[globals]:GB_ModifyDeviceInfo new sn: ABC123, pw: ***\r\n");
    EXPECT_EQ(read(), "config deviceInfo\r\n\toption serialNum ABC123\r\n\toption pairCode 9876\r\n");
    std::ifstream f(link, std::ios::binary);
    std::stringstream kept;
    kept << f.rdbuf();
    EXPECT_EQ(kept.str(), old) << "the identity file was rewritten in place";
    EXPECT_EQ(access((file() + ".tmp").c_str(), F_OK), -1);
    EXPECT_EQ(load(), "ABC123|9876");
    EXPECT_TRUE(th::SyncedBeforeRename("/etc/config/device_info.tmp", "/etc/config/device_info"));

    // Values longer than their fields are refused, never stored cut; values
    // that just fit are stored whole.
    EXPECT_EQ(GB_ModifyDeviceInfo("ABCDEFGHIJKL", "1"), 1);
    EXPECT_EQ(GB_ModifyDeviceInfo("ABCDEFGHIJK", "12345678"), 1);
    EXPECT_EQ(load(), "ABC123|9876");
    ASSERT_EQ(GB_ModifyDeviceInfo("ABCDEFGHIJK", "1234567"), 0);
    EXPECT_EQ(load(), "ABCDEFGHIJK|1234567");
    // What uci writes reads back as what was set, with LF or CRLF.
    write("\nconfig deviceInfo\n\toption serialNum 'SN0000002'\n\toption pairCode \"654321\"\r\n");
    EXPECT_EQ(load(), "SN0000002|654321");
}

// A maker's file keeps every byte but the two values, and its mode; what
// it lacks is added where uci reads it; a file over the bound is refused.
TEST_F(Identity, ChangeKeepsEveryOtherByteAndTheMode)
{
    const std::string head = "# maker\r\nconfig deviceInfo 'main'\r\n\toption vendor 'acme'\r\n\toption serialNum '";
    const std::string tail = "\r\n\r\nconfig other\r\n\toption pairCode X\r\n";
    write(head + "OLD1' # factory\r\n\toption pairCode OLDP" + tail);
    chmod(file().c_str(), 0640);
    ASSERT_EQ(GB_ModifyDeviceInfo("NEW2", "NP2"), 0);
    EXPECT_EQ(read(), head + "NEW2' # factory\r\n\toption pairCode NP2" + tail);
    struct stat st;
    ASSERT_EQ(stat(file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(load(), "NEW2|NP2");

    write("config deviceInfo\n\toption serialNum\n\nconfig x\n\toption y z");
    ASSERT_EQ(GB_ModifyDeviceInfo("B2", "P3"), 0);
    EXPECT_EQ(read(), "config deviceInfo\n\toption serialNum B2\n\toption pairCode P3\n\nconfig x\n\toption y z");
    write("config x\r\n\toption y z");
    ASSERT_EQ(GB_ModifyDeviceInfo("C3", ""), 0);
    EXPECT_EQ(read(), "config x\r\n\toption y z\r\nconfig deviceInfo\r\n\toption serialNum C3\r\n\toption pairCode \r\n");
    EXPECT_EQ(load(), "C3|");
    // An empty pairing code again changes nothing (a blank a rewrite piled
    // up until the file outgrew its bound and identities stopped).
    const std::string once = read();
    ASSERT_EQ(GB_ModifyDeviceInfo("C3", ""), 0);
    ASSERT_EQ(GB_ModifyDeviceInfo("C3", ""), 0);
    EXPECT_EQ(read(), once);
    // Nor does emptying a value and giving it again, however often.
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(GB_ModifyDeviceInfo("C3", "P"), 0);
        EXPECT_EQ(load(), "C3|P");
        ASSERT_EQ(GB_ModifyDeviceInfo("C3", ""), 0);
        EXPECT_EQ(read(), once);
    }

    // Where uci takes a value from: the later block of a section given
    // twice, in place of an empty one; a list gives way to an option line.
    const std::string twice = "config deviceInfo 'main'\n\toption serialNum A1\nconfig other\n\toption x y\n"
                              "config deviceInfo main\n\toption serialNum ";
    write(twice + "B2\n\toption pairCode P2\n");
    ASSERT_EQ(GB_ModifyDeviceInfo("N3", "Q3"), 0);
    EXPECT_EQ(read(), twice + "N3\n\toption pairCode Q3\n");
    write("config deviceInfo\n\tlist serialNum L1\n\toption pairCode ''\n");
    ASSERT_EQ(GB_ModifyDeviceInfo("N4", "Q4"), 0);
    EXPECT_EQ(read(), "config deviceInfo\n\tlist serialNum L1\n\toption pairCode 'Q4'\n\toption serialNum N4\n");
    char sn[GB_SERIALNUM_SIZE], pc[GB_PAIRCODE_SIZE];
    EXPECT_EQ(IDENTITY_UciRead(read().c_str(), sn, sizeof sn, pc, sizeof pc, nullptr), IDENTITY_UCI_SECTION);
    EXPECT_EQ(std::string(sn) + "|" + pc, "N4|Q4");

    // 4096 bytes are read whole and rewritten; one more is refused.
    std::string pad = "config deviceInfo\n#";
    const std::string last = "\n\toption serialNum E5\n\toption pairCode G7\n";
    std::string full = pad + std::string(4096 - pad.size() - last.size(), 'x') + last;
    ASSERT_EQ(full.size(), 4096u);
    write(full);
    EXPECT_EQ(load(), "E5|G7");
    ASSERT_EQ(GB_ModifyDeviceInfo("F6", "H8"), 0);
    EXPECT_EQ(read(), full.substr(0, 4096 - last.size()) + "\n\toption serialNum F6\n\toption pairCode H8\n");
    const std::string big = "config deviceInfo\n\toption serialNum C3\n#" + std::string(4096, 'x') + "\n";
    write(big);
    testing::internal::CaptureStdout();
    EXPECT_EQ(GB_ModifyDeviceInfo("D4", "P4"), 1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("refused, the file is larger than 4096 bytes"), std::string::npos);
    EXPECT_EQ(read(), big);

    // A file uci refuses gives uci nothing: the adapter reads it as it always
    // did, says why, and never rewrites it.
    const std::string broken = "config deviceInfo\n\toption serialNum=SN1\n";
    write(broken);
    testing::internal::CaptureStdout();
    EXPECT_EQ(load(), "SN1|");
    EXPECT_EQ(GB_ModifyDeviceInfo("D4", "P4"), 1);
    std::string said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("uci cannot read " + file() + " (line 2), read as plain text"), std::string::npos) << said;
    EXPECT_NE(said.find("refused, uci cannot read the file (line 2)"), std::string::npos) << said;
    EXPECT_EQ(read(), broken);
}

// A staging file made a link (to a file of the maker's) is never written
// through: the link goes, the file it named keeps its bytes and mode, and
// the identity file is a regular file.
TEST_F(Identity, StagingFileNeverFollowsALink)
{
    std::string victim = root_ + "/victim";
    std::ofstream(victim) << "keep me";
    chmod(victim.c_str(), 0640);
    ASSERT_EQ(symlink(victim.c_str(), (file() + ".tmp").c_str()), 0);
    ASSERT_EQ(GB_ModifyDeviceInfo("L1", "P1"), 0);
    std::ifstream f(victim);
    std::stringstream kept;
    kept << f.rdbuf();
    EXPECT_EQ(kept.str(), "keep me");
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(lstat(file().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(load(), "L1|P1");
}

// Someone holding the lock is waited for a bounded time only: a change is
// then refused (file and identity kept), start-up reads without it. A uci
// staging file no commit renames is a leftover: removed, and the change
// goes on.
TEST_F(Identity, HeldLockIsWaitedForBoundedly)
{
    ASSERT_EQ(GB_ModifyDeviceInfo("OLD1", "P1"), 0);
    std::string before = read();
    int fd = open(file().c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(GB_ModifyDeviceInfo("NEW2", "P2"), 1);
    EXPECT_EQ(load(), "OLD1|P1");
    std::string said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("[globals]:GB_ModifyDeviceInfo refused, the file stayed locked for 1500 ms\r\n"),
              std::string::npos) << said;
    EXPECT_NE(said.find(file() + " stayed locked for 1500 ms, read without the lock\r\n"), std::string::npos) << said;
    EXPECT_EQ(read(), before);

    std::string leftover = root_ + "/etc/config/.device_info.uci-Ab12Cd";
    std::ofstream(leftover) << "config deviceInfo\n\toption serialNum LOST\n";
    close(fd);
    testing::internal::CaptureStdout();
    EXPECT_EQ(GB_ModifyDeviceInfo("NEW3", "P3"), 0);
    said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("removed " + leftover + ", left by a commit that never finished"), std::string::npos) << said;
    EXPECT_EQ(access(leftover.c_str(), F_OK), -1);
    EXPECT_EQ(load(), "NEW3|P3");
}

// The lock `uci commit` takes: a change waits for it, and then builds on
// what the other writer put in place, not on the file it first opened.
TEST_F(Identity, ChangeWaitsForTheCommitLockAndKeepsItsResult)
{
    write("config deviceInfo\n\toption serialNum S1\n");
    int fd = open(file().c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        EXPECT_EQ(GB_ModifyDeviceInfo("S2", "P2"), 0);
        done = true;
    });
    usleep(300000);
    EXPECT_FALSE(done.load()) << "the change did not wait for the lock";
    std::string tmp = root_ + "/etc/config/.device_info.uci";
    std::ofstream(tmp, std::ios::binary) << "config deviceInfo\n\toption serialNum S1\n\toption extra 'u'\n";
    ASSERT_EQ(rename(tmp.c_str(), file().c_str()), 0);
    flock(fd, LOCK_UN);
    close(fd);
    writer.join();
    EXPECT_EQ(read(), "config deviceInfo\n\toption serialNum S2\n\toption extra 'u'\n\toption pairCode P2\n");

    // uci's own order: lock, write its staging file, unlock, and only then
    // rename. A change that takes the lock in that gap still builds on
    // the commit's file.
    fd = open(file().c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    std::string stage = root_ + "/etc/config/.device_info.uci-Q7x2Zp";
    std::ofstream(stage, std::ios::binary) << "config deviceInfo\n\toption serialNum S2\n\toption model 'HELD'\n";
    std::thread second([&] { EXPECT_EQ(GB_ModifyDeviceInfo("S3", "P3"), 0); });
    usleep(100000);
    flock(fd, LOCK_UN);
    close(fd);
    usleep(200000);
    ASSERT_EQ(rename(stage.c_str(), file().c_str()), 0);
    second.join();
    EXPECT_EQ(read(), "config deviceInfo\n\toption serialNum S3\n\toption model 'HELD'\n\toption pairCode P3\n");

    // A commit that opened the file before a change renamed the new one in
    // reads what it opened once it has the lock: the new text.
    fd = open(file().c_str(), O_RDWR);
    ASSERT_EQ(GB_ModifyDeviceInfo("S4", "P4"), 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    char buf[256] = {0};
    ASSERT_GT(pread(fd, buf, sizeof buf - 1, 0), 0);
    close(fd);
    EXPECT_EQ(std::string(buf), read());
}

// Refused values (their file would read back otherwise) answer as an
// unwritable file does.
TEST_F(Identity, UnwritableFileChangesNothing)
{
    ASSERT_EQ(GB_ModifyDeviceInfo("OLD1", "P1"), 0);
    std::string before = read();
    const char *refused[][2] = {
        {"SN 1=2", "P"}, {"AB\r\n\toptio", "P"}, {"", "P"}, {"xpairCodeQ", "P"}, {"'Q'", "P"}, {"OK", "P#"},
    };
    for (const auto &v : refused) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(GB_ModifyDeviceInfo(v[0], v[1]), 1) << v[0] << "|" << v[1];
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("[globals]:GB_ModifyDeviceInfo value error, ", 0), 0u);
        EXPECT_EQ(read(), before);
        EXPECT_EQ(load(), "OLD1|P1");
    }
    // The directory goes away: the temporary file cannot be created.
    std::string cmd = "rm -rf '" + root_ + "/etc/config'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(GB_ModifyDeviceInfo("NEW2", "P2"), 1);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[globals]:GB_ModifyDeviceInfo open error\r\n");
    char sn[GB_SERIALNUM_SIZE], pc[GB_PAIRCODE_SIZE];
    GB_GetDeviceInfo(sn, pc);
    EXPECT_STREQ(sn, "OLD1");
    EXPECT_STREQ(pc, "P1");
}

TEST_F(Identity, ReplaceFailureKeepsOldFileAndFields)
{
    ASSERT_EQ(GB_ModifyDeviceInfo("OLD1", "P1"), 0);
    // A directory in the file's place: the temporary is written, the
    // rename fails, and nothing may claim success.
    std::string cmd = "rm -f '" + file() + "' && mkdir '" + file() + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(GB_ModifyDeviceInfo("NEW2", "P2"), 1);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[globals]:GB_ModifyDeviceInfo write error\r\n");
    char sn[GB_SERIALNUM_SIZE], pc[GB_PAIRCODE_SIZE];
    GB_GetDeviceInfo(sn, pc);
    EXPECT_STREQ(sn, "OLD1");
    EXPECT_EQ(access((file() + ".tmp").c_str(), F_OK), -1);
}

TEST_F(Identity, ReadersNeverSeeAHalfUpdatedPair)
{
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        char sn[GB_SERIALNUM_SIZE], pc[GB_PAIRCODE_SIZE];
        while (!stop.load()) {
            GB_GetDeviceInfo(sn, pc);
            if (sn[0] != '\0' && sn[0] != pc[0])
                bad++;
        }
    });
    std::thread writer2([&] {
        for (int i = 0; i < 100; i++)
            GB_ModifyDeviceInfo("BBBBBBBBBBB", "BBBBBBB");
    });
    for (int i = 0; i < 100; i++)
        GB_ModifyDeviceInfo("AAAAAAAAAAA", "AAAAAAA");
    writer2.join();
    stop = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    std::string f = read();
    EXPECT_TRUE(f.find("serialNum AAAAAAAAAAA\r\n\toption pairCode AAAAAAA") != std::string::npos ||
                f.find("serialNum BBBBBBBBBBB\r\n\toption pairCode BBBBBBB") != std::string::npos);
}

}  // namespace
