#include "engine/diagnostics/log_file_win32.h"

#include <string>

namespace brenvik {

Win32LogFile::~Win32LogFile() { Close(); }

bool Win32LogFile::Open(const char* path, bool shareWrite) {
    Close();
    if (path == nullptr) return false;
    const DWORD share = shareWrite ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    file_ = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, share, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file_ != INVALID_HANDLE_VALUE;
}

uint32_t Win32LogFile::Size() {
    if (file_ == INVALID_HANDLE_VALUE) return 0xFFFFFFFFu;
    return GetFileSize(file_, nullptr);  // low 32 bits; INVALID_FILE_SIZE on failure
}

void Win32LogFile::Append(const char* data, size_t count) {
    if (file_ == INVALID_HANDLE_VALUE || data == nullptr || count == 0) return;
    DWORD written = 0;
    WriteFile(file_, data, static_cast<DWORD>(count), &written, nullptr);
}

void Win32LogFile::Close() {
    if (file_ == INVALID_HANDLE_VALUE) return;
    CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
}

bool Win32LogFile::Rename(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) return false;
    return MoveFileA(from, to) != 0;
}

bool Win32LogFile::List(const char* directory, std::vector<std::string>& names) {
    names.clear();
    if (directory == nullptr) return false;
    WIN32_FIND_DATAA found{};
    const std::string pattern = std::string(directory) + "\\*";
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
        names.emplace_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
}

bool Win32LogFile::Remove(const char* path) { return path != nullptr && DeleteFileA(path) != 0; }

LocalTime Win32Clock::Now() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    LocalTime result;
    result.year = t.wYear;
    result.month = t.wMonth;
    result.day = t.wDay;
    result.hour = t.wHour;
    result.minute = t.wMinute;
    result.second = t.wSecond;
    return result;
}

}  // namespace brenvik
