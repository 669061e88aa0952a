// Text helpers shared by the simulator's sources (not part of the API).
#pragma once

#include <cstdint>
#include <string>

namespace m301sim {

// Number of characters (code points) in a UTF-8 text.
size_t Utf8Length(const std::string& s);
// The first n characters of a UTF-8 text.
std::string Utf8Head(const std::string& s, size_t n);
// Pads with spaces on the left (right-aligned) or right to n characters.
std::string PadLeft(const std::string& s, size_t n);
std::string PadRight(const std::string& s, size_t n);
// Kopecks as "12.50" (with a minus sign when negative).
std::string Money(int64_t kopecks);
// Replaces bytes below 0x20 by spaces: texts that go on the wire never
// carry control bytes that a line discipline could swallow.
std::string NoControls(const std::string& s);

}  // namespace m301sim
