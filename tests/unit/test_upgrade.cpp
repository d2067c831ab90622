// Local frames: validation bounds, the golden answers, the chunked package
// through the 4096-byte cache and the staging file, identity frames.
// Every TEST runs in its own process, so the transfer statics start at 0.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/common.h"
#include "core/endpoints.h"
#include "core/globals.h"
#include "serial/upgrade.h"
#include "tests/support/fsorder.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Frames : public ::testing::Test {
protected:
    std::string root;
    void SetUp() override
    {
        char tmpl[] = "/tmp/adapter-upg-XXXXXX";
        root = mkdtemp(tmpl);
        mkdir((root + "/usr").c_str(), 0755);
        mkdir((root + "/usr/bin").c_str(), 0755);
        mkdir((root + "/usr/bin/zov").c_str(), 0755);
        mkdir((root + "/etc").c_str(), 0755);
        mkdir((root + "/etc/config").c_str(), 0755);
        ASSERT_EQ(EP_SetRoot(root.c_str()), 0);
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string pkg() const { return EP_Path(EP_PATH_PACKAGE); }
    std::string part() const { return pkg() + ".part"; }
    static long sizeOf(const std::string &p)
    {
        struct stat st;
        return stat(p.c_str(), &st) == 0 ? (long)st.st_size : -1;
    }
    static std::string slurp(const std::string &p)
    {
        std::ifstream f(p, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
};

Bytes UpgradeFrame(int32_t total, int32_t offset, const Bytes &data)
{
    Bytes f(16 + data.size());
    f[0] = 0xAA;
    f[1] = 0xBB;
    COMM_PutLe32(&f[4], (uint32_t)total);
    COMM_PutLe32(&f[8], (uint32_t)offset);
    COMM_PutLe32(&f[12], (uint32_t)data.size());
    std::copy(data.begin(), data.end(), f.begin() + 16);
    COMM_PutLe16(&f[2], COMM_Crc16(&f[4], (uint16_t)(12 + data.size())));
    return f;
}

Bytes DevInfoFrame(const char *sn, size_t snLen, const char *pc, size_t pcLen)
{
    Bytes f(24, 0);
    f[0] = 0xCC;
    f[1] = 0xDD;
    memcpy(&f[4], sn, snLen);
    memcpy(&f[16], pc, pcLen);
    COMM_PutLe16(&f[2], COMM_Crc16(&f[4], 20));
    return f;
}

// Validity is judged on the receive buffer as the bridge passes it: the
// burst followed by the cleared rest, 1014 bytes in all.
int32_t Valid(const Bytes &frame)
{
    Bytes buf(1014, 0);
    std::copy(frame.begin(), frame.begin() + (long)std::min<size_t>(frame.size(), buf.size()), buf.begin());
    return UPGRADE_IsValid(buf.data(), (int32_t)buf.size());
}

// Stores one chunk the way the bridge does and returns the answer.
Bytes Push(const Bytes &frame)
{
    Bytes buf(1014, 0);
    std::copy(frame.begin(), frame.end(), buf.begin());
    EXPECT_EQ(UPGRADE_IsValid(buf.data(), 1014), 1);
    UPGRADE_SaveData(buf.data());
    Bytes resp(16);
    int32_t len = 0;
    UPGRADE_BuildResp(resp.data(), &len);
    EXPECT_EQ(len, 16);
    return resp;
}

int32_t RespOffset(const Bytes &r) { return (int32_t)COMM_GetLe32(&r[8]); }
int32_t RespTotal(const Bytes &r) { return (int32_t)COMM_GetLe32(&r[4]); }

Bytes Package(size_t n)
{
    Bytes p(n);
    for (size_t i = 0; i < n; i++)
        p[i] = (uint8_t)(i * 7 + i / 256);
    return p;
}

}  // namespace

TEST_F(Frames, GoldenAnswers)
{
    // 10000-byte package, first 512-byte chunk taken.
    Bytes data(512, 1);
    Bytes r = Push(UpgradeFrame(10000, 0, data));
    EXPECT_EQ(r, (Bytes{0xAA, 0xBB, 0x8D, 0x50, 0x10, 0x27, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0}));

    // The identity query is answered with the identity in effect.
    Bytes q = DevInfoFrame("", 0, "", 0);
    EXPECT_EQ(Bytes(q.begin(), q.begin() + 4), (Bytes{0xCC, 0xDD, 0xB8, 0xF6}));
    EXPECT_EQ(DEVINFO_IsValid(q.data(), 24), 1);
    Bytes a(24);
    int32_t len = 0;
    DEVINFO_BuildResp(a.data(), &len);
    EXPECT_EQ(len, 24);
    EXPECT_EQ(a, q);  // empty identity: the answer equals the query
}

TEST_F(Frames, ValidationNeverReachesPastTheBuffer)
{
    Bytes ok = UpgradeFrame(10, 0, Bytes(998, 3));
    EXPECT_EQ(Valid(ok), 1);
    Bytes bad = ok;
    bad[20] ^= 1;
    EXPECT_EQ(Valid(bad), 0);  // wrong CRC: no frame
    bad = ok;
    bad[1] = 0xBC;
    EXPECT_EQ(Valid(bad), 0);

    // dataLen beyond one read, or negative: no frame, whatever the CRC.
    for (int32_t dataLen : {999, 1014, 65535, -1, -12, INT32_MIN}) {
        Bytes f(16 + 65536, 0);  // room for whatever the CRC count wraps to
        f[0] = 0xAA;
        f[1] = 0xBB;
        COMM_PutLe32(&f[12], (uint32_t)dataLen);
        COMM_PutLe16(&f[2], COMM_Crc16(&f[4], (uint16_t)(12 + dataLen)));
        SCOPED_TRACE(dataLen);
        EXPECT_EQ(Valid(f), 0);
    }
    // A frame that would extend past the bytes the caller can read.
    EXPECT_EQ(UPGRADE_IsValid(ok.data(), (int32_t)ok.size() - 1), 0);
    EXPECT_EQ(UPGRADE_IsValid(ok.data(), 15), 0);
    Bytes id = DevInfoFrame("A", 1, "B", 1);
    EXPECT_EQ(DEVINFO_IsValid(id.data(), 23), 0);

    // Claiming more data than arrived is checked against the cleared rest.
    Bytes shortFrame = UpgradeFrame(20, 0, Bytes(20, 0));
    shortFrame.resize(16 + 5);
    EXPECT_EQ(Valid(shortFrame), 1);
}

TEST_F(Frames, PackageThroughCacheAndStagingFile)
{
    // No umask: the mode asked for is the mode the package gets.
    mode_t mask = umask(0);
    Bytes pkgData = Package(10000);
    std::vector<long> partSizes;
    Bytes r;
    int32_t off = 0;
    while (off < 10000) {
        int32_t n = std::min(512, 10000 - off);
        EXPECT_FALSE(access(pkg().c_str(), F_OK) == 0) << "package visible before it is complete";
        r = Push(UpgradeFrame(10000, off, Bytes(pkgData.begin() + off, pkgData.begin() + off + n)));
        EXPECT_EQ(RespOffset(r), off + n);
        EXPECT_EQ(RespTotal(r), 10000);
        off += n;
        partSizes.push_back(off < 10000 ? sizeOf(part()) : sizeOf(pkg()));
        EXPECT_EQ(UPGRADE_IsComplete(), off == 10000 ? 1 : 0);
    }
    // Appends of 4096 with the 8th chunk, 4096 with the 16th, 1808 with the 20th.
    ASSERT_EQ(partSizes.size(), 20u);
    for (size_t i = 0; i < 20; i++) {
        long want = i < 7 ? 0 : i < 15 ? 4096 : i < 19 ? 8192 : 10000;
        EXPECT_EQ(partSizes[i], want) << "after chunk " << i + 1;
    }
    EXPECT_EQ(slurp(pkg()), std::string(pkgData.begin(), pkgData.end()));
    EXPECT_FALSE(access(part().c_str(), F_OK) == 0);
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat(pkg().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // as a package fetched over FTP
    // Data on the disk before the name: a power cut never leaves a
    // complete-looking but short package.
    EXPECT_TRUE(th::SyncedBeforeRename("/usr/bin/zov/zovClient.tar.part", "/usr/bin/zov/zovClient.tar"));
}

// A chunk that does not fit the space left in the cache still reaches the
// file after the cached bytes, in order, and nothing overruns the cache.
TEST_F(Frames, ChunkLargerThanCacheSpace)
{
    Bytes pkgData = Package(9000);
    int32_t off = 0;
    while (off < 9000) {
        int32_t n = std::min(997, 9000 - off);
        Bytes r = Push(UpgradeFrame(9000, off, Bytes(pkgData.begin() + off, pkgData.begin() + off + n)));
        ASSERT_EQ(RespOffset(r), off + n);
        off += n;
        if (off == 997 * 5) {
            EXPECT_EQ(sizeOf(part()), 997 * 5);  // 3988 cached + 997 written together
        }
    }
    EXPECT_EQ(slurp(pkg()), std::string(pkgData.begin(), pkgData.end()));
}

TEST_F(Frames, RestartRepeatsAndEarlyChunks)
{
    // An installed package from before stays until a new one is complete.
    { std::ofstream(pkg()) << "old package"; }
    Bytes a = Package(3000);
    Push(UpgradeFrame(3000, 0, Bytes(a.begin(), a.begin() + 900)));
    // Repeated and early chunks are ignored and answered with the offset.
    EXPECT_EQ(RespOffset(Push(UpgradeFrame(3000, 0 + 100, Bytes(10, 9)))), 900);
    EXPECT_EQ(RespOffset(Push(UpgradeFrame(3000, 1800, Bytes(10, 9)))), 900);
    Push(UpgradeFrame(3000, 900, Bytes(a.begin() + 900, a.begin() + 1800)));

    // Restart at offset 0 with another size: the staging file is emptied,
    // the installed package untouched, the answer counts the new chunk.
    Bytes b = Package(1500);
    std::reverse(b.begin(), b.end());
    Bytes r = Push(UpgradeFrame(1500, 0, Bytes(b.begin(), b.begin() + 700)));
    EXPECT_EQ(RespTotal(r), 1500);
    EXPECT_EQ(RespOffset(r), 700);
    EXPECT_EQ(slurp(pkg()), "old package");
    EXPECT_EQ(sizeOf(part()), 0);
    r = Push(UpgradeFrame(0, 700, Bytes(b.begin() + 700, b.end())));  // later totalSize ignored
    EXPECT_EQ(RespOffset(r), 1500);
    EXPECT_EQ(UPGRADE_IsComplete(), 1);
    EXPECT_EQ(slurp(pkg()), std::string(b.begin(), b.end()));
}

TEST_F(Frames, NoTransferAndEmptyPackage)
{
    // Before any transfer a chunk from elsewhere is ignored; 0 == 0 counts
    // as complete.
    Bytes r = Push(UpgradeFrame(500, 100, Bytes(10, 1)));
    EXPECT_EQ(RespTotal(r), 0);
    EXPECT_EQ(RespOffset(r), 0);
    EXPECT_EQ(UPGRADE_IsComplete(), 1);
    // totalSize 0, dataLen 0: an empty package put in place.
    Push(UpgradeFrame(0, 0, Bytes()));
    EXPECT_EQ(UPGRADE_IsComplete(), 1);
    EXPECT_EQ(sizeOf(pkg()), 0);
}

TEST_F(Frames, StagingFileUnwritable)
{
    // No package directory: creating the staging file fails; the answer
    // carries the new size and offset 0, so the device starts over.
    ASSERT_EQ(rmdir((root + "/usr/bin/zov").c_str()), 0);
    testing::internal::CaptureStdout();
    Bytes r = Push(UpgradeFrame(2000, 0, Bytes(100, 1)));
    fflush(stdout);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("fail in UPGRADE_SaveData, line:58\r\n"), std::string::npos);
    EXPECT_EQ(RespTotal(r), 2000);
    EXPECT_EQ(RespOffset(r), 0);
    EXPECT_EQ(UPGRADE_IsComplete(), 0);
}

TEST_F(Frames, IdentityFrames)
{
    // Empty serial number with a pairing code: a query, nothing changes.
    Bytes q = DevInfoFrame("", 0, "PC1", 3);
    EXPECT_EQ(DEVINFO_IsValid(q.data(), 24), 1);
    EXPECT_FALSE(access(EP_Path(EP_PATH_DEVINFO), F_OK) == 0);

    // A field without its NUL holds a value too long for the identity: the
    // frame is answered, nothing is stored (never a cut value).
    Bytes tooLong = DevInfoFrame("ABCDEFGHIJKL", 12, "1234567", 7);
    EXPECT_EQ(DEVINFO_IsValid(tooLong.data(), 24), 1);
    tooLong = DevInfoFrame("ABCDEFGHIJK", 11, "12345678", 8);
    EXPECT_EQ(DEVINFO_IsValid(tooLong.data(), 24), 1);
    EXPECT_FALSE(access(EP_Path(EP_PATH_DEVINFO), F_OK) == 0);
    Bytes s = DevInfoFrame("ABCDEFGHIJK", 11, "1234567", 7);
    EXPECT_EQ(DEVINFO_IsValid(s.data(), 24), 1);
    Bytes a(24);
    int32_t len = 0;
    DEVINFO_BuildResp(a.data(), &len);
    EXPECT_EQ(std::string((char *)&a[4]), "ABCDEFGHIJK");
    EXPECT_EQ(std::string((char *)&a[16]), "1234567");
    EXPECT_EQ(a[15], 0);
    EXPECT_EQ(a[23], 0);
    EXPECT_EQ(COMM_GetLe16(&a[2]), COMM_Crc16(&a[4], 20));
    EXPECT_NE(slurp(EP_Path(EP_PATH_DEVINFO)).find("option serialNum ABCDEFGHIJK\r\n"), std::string::npos);

    // A set with an empty pairing code stores it empty.
    Bytes e = DevInfoFrame("SN2", 3, "", 0);
    EXPECT_EQ(DEVINFO_IsValid(e.data(), 24), 1);
    DEVINFO_BuildResp(a.data(), &len);
    EXPECT_EQ(std::string((char *)&a[4]), "SN2");
    EXPECT_EQ(a[16], 0);

    // Wrong CRC: no frame, nothing changed.
    Bytes w = DevInfoFrame("XX", 2, "YY", 2);
    w[3] ^= 0x40;
    EXPECT_EQ(DEVINFO_IsValid(w.data(), 24), 0);
    DEVINFO_BuildResp(a.data(), &len);
    EXPECT_EQ(std::string((char *)&a[4]), "SN2");
}
