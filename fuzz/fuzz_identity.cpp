// Fuzz target: the identity file reader. The first input byte picks the
// value buffer size (1..16) and the tag; the rest is the text. Three checks
// per input, each against the file format's rules written out plainly:
//  - GB_GetTagValueStr on the text, into a heap buffer of exactly that size;
//  - gbInitDeviceInfo on a file holding the bytes (only its first 199 bytes
//    count, a NUL ends the text early);
//  - GB_ModifyDeviceInfo with values cut from the bytes, read back by
//    gbInitDeviceInfo, whenever the values are ones the format can carry.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/endpoints.h"
#include "core/globals.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t kFileReadMax = 199;
const char *const kTags[] = {"serialNum", "pairCode", "option", "="};

// The value after the first occurrence of tag: to the line end, blanks and
// '=' dropped, cut to cap characters. found is false when the tag is absent.
std::string expectedValue(const std::string &text, const char *tag, size_t cap, bool *found)
{
    size_t at = text.find(tag);
    *found = at != std::string::npos;
    std::string v;
    if (!*found)
        return v;
    for (size_t i = at + strlen(tag); i < text.size(); i++) {
        char c = text[i];
        if (c == '\r' || c == '\n')
            break;
        if (c != ' ' && c != '=' && v.size() < cap)
            v.push_back(c);
    }
    return v;
}

void checkTagValue(const std::string &text, const char *tag, size_t valueSize)
{
    std::vector<char> heapText(text.begin(), text.end());
    heapText.push_back('\0');
    std::vector<char> value(valueSize, 'Z');
    int32_t rc = GB_GetTagValueStr(heapText.data(), tag, value.data(), valueSize);
    bool found = false;
    std::string want = expectedValue(text, tag, valueSize - 1, &found);
    if (!found) {
        FUZZ_CHECK(rc == 0);
        for (char c : value)
            FUZZ_CHECK(c == 'Z');
        return;
    }
    FUZZ_CHECK(memchr(value.data(), '\0', valueSize) != nullptr);
    FUZZ_CHECK(want == value.data());
    FUZZ_CHECK(rc == (want.empty() ? 0 : 1));
}

void writeFile(const char *path, const uint8_t *data, size_t size)
{
    FILE *f = fopen(path, "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(fwrite(data, 1, size, f) == size || size == 0);
    FUZZ_CHECK(fclose(f) == 0);
}

void checkFileRead(const uint8_t *data, size_t size)
{
    writeFile(EP_Path(EP_PATH_DEVINFO), data, size);
    FUZZ_CHECK(gbInitDeviceInfo() == 0);
    std::string text((const char *)data, size < kFileReadMax ? size : kFileReadMax);
    text = text.c_str();  // a NUL ends the text
    bool found;
    std::string sn = expectedValue(text, "serialNum", GB_SERIALNUM_SIZE - 1, &found);
    std::string pc = expectedValue(text, "pairCode", GB_PAIRCODE_SIZE - 1, &found);
    char heldSn[GB_SERIALNUM_SIZE], heldPc[GB_PAIRCODE_SIZE];
    GB_GetDeviceInfo(heldSn, heldPc);
    FUZZ_CHECK(memchr(heldSn, '\0', sizeof heldSn) && memchr(heldPc, '\0', sizeof heldPc));
    FUZZ_CHECK(sn == heldSn && pc == heldPc);
}

// Values without blanks, '=', line ends or NULs come back from the file as
// they were stored, unless the serial number holds the other option's name.
void checkRoundTrip(const uint8_t *data, size_t size)
{
    std::string raw((const char *)data, size);
    std::string sn = raw.substr(0, GB_SERIALNUM_SIZE - 1);
    std::string pc = raw.size() > sn.size() ? raw.substr(sn.size(), GB_PAIRCODE_SIZE - 1) : "";
    for (const std::string &v : {sn, pc})
        if (v.find_first_of(std::string(" =\r\n\0", 5)) != std::string::npos)
            return;
    if (sn.find("pairCode") != std::string::npos)
        return;
    FUZZ_CHECK(GB_ModifyDeviceInfo(sn.c_str(), pc.c_str()) == 0);
    char heldSn[GB_SERIALNUM_SIZE], heldPc[GB_PAIRCODE_SIZE];
    GB_GetDeviceInfo(heldSn, heldPc);
    FUZZ_CHECK(sn == heldSn && pc == heldPc);
    FUZZ_CHECK(gbInitDeviceInfo() == 0);
    GB_GetDeviceInfo(heldSn, heldPc);
    FUZZ_CHECK(sn == heldSn && pc == heldPc);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FUZZ_Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    size_t valueSize = 1 + (data[0] & 0x0F);
    const char *tag = kTags[(data[0] >> 4) & 3];
    data++;
    size--;
    std::string text((const char *)data, size);
    text = text.c_str();
    checkTagValue(text, tag, valueSize);
    checkFileRead(data, size);
    checkRoundTrip(data, size);
    return 0;
}
