// Fuzz target: the identity file reader and rewriter. The first input
// byte picks the value buffer size (1..16) and the tag; the rest is the
// text. Four checks per input, each against the file format's rules:
//  - GB_GetTagValueStr on the text, into a heap buffer of exactly that size;
//  - gbInitDeviceInfo on a file holding the bytes (its first 4096 bytes
//    count, a NUL ends the text early): what uci reads when uci gives a
//    deviceInfo section, the plain-text rule otherwise;
//  - GB_ModifyDeviceInfo with values cut from the bytes, from an empty
//    file: refused, with the identity unchanged, when a value holds a byte
//    the file could not give back; otherwise read back exactly;
//  - the same change on the file holding the bytes: either it reads back
//    exactly (by the adapter and as uci reads it), or it is refused and the
//    file keeps every byte.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/endpoints.h"
#include "core/globals.h"
#include "core/identity.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t kFileReadMax = 4096;
const char *const kTags[] = {"serialNum", "pairCode", "option", "="};

// The value after the first occurrence of tag, cut to cap characters: the
// rest of the line; when that, trimmed of blanks, tabs and '=' in front and
// blanks and tabs behind, is two or more bytes between matching quotes ('
// or "), what is between them; otherwise the line with blanks and '='
// dropped. found is false when the tag is absent.
std::string expectedValue(const std::string &text, const char *tag, size_t cap, bool *found)
{
    size_t at = text.find(tag);
    *found = at != std::string::npos;
    if (!*found)
        return "";
    std::string line = text.substr(at + strlen(tag));
    line = line.substr(0, line.find_first_of("\r\n"));
    std::string t = line;
    t.erase(0, std::min(t.size(), t.find_first_not_of(" \t=")));
    t.erase(std::min(t.size(), t.find_last_not_of(" \t") + 1));
    if (t.size() >= 2 && (t[0] == '\'' || t[0] == '"') && t.back() == t[0])
        return t.substr(1, std::min(cap, t.size() - 2));
    std::string v;
    for (char c : line)
        if (c != ' ' && c != '=' && v.size() < cap)
            v.push_back(c);
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
    // Without a deviceInfo section that uci reads the file is plain text,
    // read by the tag rule above; with one, what uci reads (the unit tests
    // hold uci's own answers for every rule).
    char uciSn[GB_SERIALNUM_SIZE], uciPc[GB_PAIRCODE_SIZE];
    if (IDENTITY_UciRead(text.c_str(), uciSn, sizeof uciSn, uciPc, sizeof uciPc, nullptr) == IDENTITY_UCI_SECTION)
        FUZZ_CHECK(strcmp(uciSn, heldSn) == 0 && strcmp(uciPc, heldPc) == 0);
    else
        FUZZ_CHECK(sn == heldSn && pc == heldPc);
}

// A change of a file holding the input bytes: stored and read back exactly,
// or refused with the file and the identity as they were.
void checkChangeOfFile(const uint8_t *data, size_t size)
{
    writeFile(EP_Path(EP_PATH_DEVINFO), data, size);
    FUZZ_CHECK(gbInitDeviceInfo() == 0);
    char oldSn[GB_SERIALNUM_SIZE], oldPc[GB_PAIRCODE_SIZE];
    GB_GetDeviceInfo(oldSn, oldPc);
    std::string before((const char *)data, size);
    char heldSn[GB_SERIALNUM_SIZE], heldPc[GB_PAIRCODE_SIZE];
    if (GB_ModifyDeviceInfo("FZ01", "Q9") != 0) {
        std::string after;
        FUZZ_CHECK(FUZZ_ReadFile(EP_Path(EP_PATH_DEVINFO), &after) && after == before);
        GB_GetDeviceInfo(heldSn, heldPc);
        FUZZ_CHECK(strcmp(oldSn, heldSn) == 0 && strcmp(oldPc, heldPc) == 0);
        return;
    }
    std::string after;
    FUZZ_CHECK(FUZZ_ReadFile(EP_Path(EP_PATH_DEVINFO), &after) && after.size() <= kFileReadMax);
    char uciSn[GB_SERIALNUM_SIZE], uciPc[GB_PAIRCODE_SIZE];
    FUZZ_CHECK(IDENTITY_UciRead(after.c_str(), uciSn, sizeof uciSn, uciPc, sizeof uciPc, nullptr) ==
               IDENTITY_UCI_SECTION);
    FUZZ_CHECK(strcmp(uciSn, "FZ01") == 0 && strcmp(uciPc, "Q9") == 0);
    FUZZ_CHECK(gbInitDeviceInfo() == 0);
    GB_GetDeviceInfo(heldSn, heldPc);
    FUZZ_CHECK(strcmp(heldSn, "FZ01") == 0 && strcmp(heldPc, "Q9") == 0);
}

// A stored identity comes back from the file as it was stored. Refused are
// exactly an empty serial number, one holding the other option's name, and
// values with a control byte, a blank or one of = ' " \\ # ; (a NUL ends a
// value here, as it does in a request).
void checkRoundTrip(const uint8_t *data, size_t size)
{
    std::string raw((const char *)data, size);
    std::string sn = raw.substr(0, GB_SERIALNUM_SIZE - 1);
    std::string pc = raw.size() > sn.size() ? raw.substr(sn.size(), GB_PAIRCODE_SIZE - 1) : "";
    sn = sn.c_str();
    pc = pc.c_str();
    bool refused = sn.empty() || sn.find("pairCode") != std::string::npos;
    for (const std::string &v : {sn, pc})
        for (unsigned char c : v)
            refused = refused || c < 0x20 || c == 0x7F || strchr(" ='\"\\#;", c) != nullptr;
    // From an empty file: a change keeps every other byte of the file, and
    // one it cannot keep (a NUL in it, say) is refused as a write error.
    writeFile(EP_Path(EP_PATH_DEVINFO), data, 0);
    char oldSn[GB_SERIALNUM_SIZE], oldPc[GB_PAIRCODE_SIZE];
    GB_GetDeviceInfo(oldSn, oldPc);
    char heldSn[GB_SERIALNUM_SIZE], heldPc[GB_PAIRCODE_SIZE];
    if (refused) {
        FUZZ_CHECK(GB_ModifyDeviceInfo(sn.c_str(), pc.c_str()) == 1);
        GB_GetDeviceInfo(heldSn, heldPc);
        FUZZ_CHECK(strcmp(oldSn, heldSn) == 0 && strcmp(oldPc, heldPc) == 0);
        return;
    }
    FUZZ_CHECK(GB_ModifyDeviceInfo(sn.c_str(), pc.c_str()) == 0);
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
    checkChangeOfFile(data, size);
    return 0;
}
