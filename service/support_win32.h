// What the Windows back ends share: UTF-16 at the system's edge, the
// service's name and its data directory. Included by *_win32.cpp only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace brenvikd {
namespace win32 {

// The service's name in the Service Control Manager and the Event Log.
constexpr const wchar_t* kServiceName = L"brenvikd";

std::wstring Wide(const std::string& utf8);
std::string Utf8(const wchar_t* wide);

// %ProgramData%\Brenvik: the ledger, the logs, the token, brenvikd.json.
std::string DataDirectory();
// DataDirectory()\service: the ledger and the service's logs, which only
// SYSTEM and administrators may open.
std::string PrivateDirectory();

// "the text (error N)" for a Windows error code.
std::string ErrorText(DWORD code);

// The program's command line as UTF-8 (main's argv is in the ANSI code page).
std::vector<std::string> Arguments();

}  // namespace win32
}  // namespace brenvikd
