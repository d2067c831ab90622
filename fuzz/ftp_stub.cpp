// Stand-in for the FTP client in the dispatch fuzz target. The url of a
// fuzzed upgrade request is fuzzed too, so no connection may ever be made:
// FTP_Connect checks what the handler passes and fails without a socket.
#include <cstring>

#include "core/endpoints.h"
#include "ftp/ftpClient.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/ftp_stub.h"

namespace {
FtpStubCall s_last;
}  // namespace

const FtpStubCall &FTPSTUB_Last() { return s_last; }
void FTPSTUB_Reset() { s_last = FtpStubCall(); }

int FTP_Connect(const char *host, int port, const char *user, const char *pass, int)
{
    FUZZ_CHECK(host != nullptr && user != nullptr && pass != nullptr);
    FUZZ_CHECK(port == EP_FtpPort());
    s_last.calls++;
    s_last.host = host;
    s_last.user = user;
    s_last.pass = pass;
    return -1;
}

int FTP_Retrfile(int, const char *, const char *, int32_t *, int, int32_t)
{
    FUZZ_Fail("FTP_Retrfile reached after a failed FTP_Connect");
}

int FTP_Quit(int, int)
{
    FUZZ_Fail("FTP_Quit reached after a failed FTP_Connect");
}
