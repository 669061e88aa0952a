// Which file a path names now: a file deleted or replaced under one that is
// open shows as another identity, or none.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace brenvikd {

struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileIdentity& other) const { return device == other.device && inode == other.inode; }
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// Nothing when the path names no file (or cannot be looked at).
std::optional<FileIdentity> IdentityOf(const std::string& path);

}  // namespace brenvikd
