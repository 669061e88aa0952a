// UTF-8 <-> UTF-16 for the tool's Windows back ends (arguments, file names).
#pragma once

#include <string>

namespace brenvik::cli {

std::string Utf8(const std::wstring& text);
std::wstring Utf16(const std::string& text);

}  // namespace brenvik::cli
