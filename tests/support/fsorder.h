// The order of the calls that make a package durable, seen through
// link-time wraps of fsync() and rename() (-Wl,--wrap=fsync,--wrap=rename,
// set in tests/CMakeLists.txt for the programs that use this): tmpfs makes
// an fsync free, so no timing could tell whether a file was synced before
// it was renamed into place.
#pragma once
#include <string>

namespace th {

// True when a file whose path ends in `from` was fsync()ed, and only then
// renamed to a path ending in `to`; always true where the linker cannot
// wrap (ADAPTER_LINK_WRAP 0), as nothing was recorded.
bool SyncedBeforeRename(const std::string &from, const std::string &to);

}  // namespace th
