#include "engine/diagnostics/log_file_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace brenvik {

PosixLogFile::~PosixLogFile() { Close(); }

bool PosixLogFile::Open(const char* path, bool /*shareWrite*/) {
    Close();
    if (path == nullptr) return false;
    fd_ = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return fd_ >= 0;
}

uint32_t PosixLogFile::Size() {
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) return 0xFFFFFFFFu;
    // Low 32 bits, as the archiving rule has always looked at them.
    return static_cast<uint32_t>(static_cast<uint64_t>(st.st_size) & 0xFFFFFFFFu);
}

void PosixLogFile::Append(const char* data, size_t count) {
    if (fd_ < 0 || data == nullptr || count == 0) return;
    // One write per append keeps lines whole; O_APPEND puts it at the end.
    ssize_t n;
    do {
        n = ::write(fd_, data, count);
    } while (n < 0 && errno == EINTR);
}

void PosixLogFile::Close() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

bool PosixLogFile::Rename(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) return false;
    // Windows' MoveFile never replaces an existing target; keep that, so two
    // archivings in one second do not destroy the first archive.
    struct stat st;
    if (lstat(to, &st) == 0) return false;
    return std::rename(from, to) == 0;
}

bool PosixLogFile::List(const char* directory, std::vector<std::string>& names) {
    names.clear();
    if (directory == nullptr) return false;
    DIR* dir = opendir(directory);
    if (dir == nullptr) return false;
    while (const dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
    closedir(dir);
    return true;
}

bool PosixLogFile::Remove(const char* path) { return path != nullptr && ::unlink(path) == 0; }

LocalTime PosixClock::Now() {
    LocalTime result;
    const time_t now = time(nullptr);
    struct tm parts;
    if (localtime_r(&now, &parts) == nullptr) return result;
    result.year = parts.tm_year + 1900;
    result.month = parts.tm_mon + 1;
    result.day = parts.tm_mday;
    result.hour = parts.tm_hour;
    result.minute = parts.tm_min;
    result.second = parts.tm_sec;
    return result;
}

}  // namespace brenvik
