// What the FTP stub of the dispatch fuzz target was last asked to do.
#pragma once
#include <string>

struct FtpStubCall {
    int calls = 0;
    std::string host, user, pass;
};
const FtpStubCall &FTPSTUB_Last();
void FTPSTUB_Reset();
