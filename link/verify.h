// Signature check of a downloaded upgrade package against the maker's
// public keys, by the router's own verifier run as a child process. Key
// and signature files are in the Ed25519 format of the package feeds: a
// comment line, then one base64 line. No cryptography here: this module
// only reads the key number from both files, picks the keys that may have
// made the signature, and runs the verifier with each until one accepts.
#pragma once
#include <cstdint>

enum VerifyResult : int32_t {
    VERIFY_OK = 0,
    VERIFY_MALFORMED,    // the signature file is no signature
    VERIFY_UNKNOWN_KEY,  // made by a key that is not among the trusted ones
    VERIFY_BAD,          // the verifier refused it: changed package, forged
    VERIFY_FAILED,       // no verifier could be run, or it took too long
    VERIFY_CANCELLED,    // cancelFd turned readable (the adapter is ending)
};

// Why path is not a readable public key file, or nullptr when it is.
const char *VERIFY_KeyFileError(const char *path);
// Checks the package at pkgPath against the signature at sigPath with the
// keys of EP_UpgradeKey (at least one). The verifier is killed after 10 s
// (VERIFY_FAILED) and at once when cancelFd (-1: none) turns readable
// (VERIFY_CANCELLED). Neither file is changed.
VerifyResult VERIFY_Package(const char *pkgPath, const char *sigPath, int cancelFd);
// What the state file and the log say for a result ("ok", "bad signature").
const char *VERIFY_ResultText(VerifyResult r);
