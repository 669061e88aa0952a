// Building command texts: a zero-filled local buffer filled with bounded
// formatting, so no caller-supplied text can overrun it.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/printer_engine.h"

namespace brenvik::commands {

// Callers may hand in NULL for any text; it counts as empty.
inline const char* Text(const char* s) { return s != nullptr ? s : ""; }

// The bytes of `s` up to its terminator, at most `limit`.
inline size_t BoundedLength(const char* s, size_t limit) {
    size_t n = 0;
    while (n < limit && s[n] != '\0') ++n;
    return n;
}

// Log arguments that the printer's documentation prints with %lu and %li:
// the values are 32 bits wide there, so a negative one shows as its unsigned
// 32-bit pattern, whatever the width of long on this platform.
inline unsigned long LogU(int32_t v) { return static_cast<unsigned long>(static_cast<uint32_t>(v)); }
inline unsigned long LogU(uint32_t v) { return static_cast<unsigned long>(v); }
inline long LogL(int32_t v) { return static_cast<long>(v); }

// Magnitude without the overflow of -INT32_MIN.
inline uint32_t Magnitude(int32_t v) {
    return v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
}

// A command text under construction. The buffer is larger than any command
// the printer takes; a text that runs past kMaxCommandText is still longer
// than that after being cut here, so SendCommand refuses it instead of
// sending a truncated command.
class CommandText {
public:
    static constexpr size_t kCapacity = 512;
    static_assert(kCapacity > kMaxCommandText + 1, "room to detect an over-long text");

    void Add(const char* format, ...)
        __attribute__((format(printf, 2, 3)))  // gcc and clang check our formats
    {
        if (length_ + 1 >= kCapacity) return;
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(text_ + length_, kCapacity - length_, format, args);
        va_end(args);
        if (n < 0) return;
        size_t room = kCapacity - 1 - length_;
        length_ += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
    }

    // At most `limit` bytes of `s`, unchanged.
    void AddCut(const char* s, size_t limit) {
        const char* t = Text(s);
        size_t n = BoundedLength(t, limit);
        size_t room = kCapacity - 1 - length_;
        if (n > room) n = room;
        std::memcpy(text_ + length_, t, n);
        length_ += n;
    }

    void AddChar(char c) {
        if (length_ + 1 < kCapacity) text_[length_++] = c;
    }

    char* Data() { return text_; }
    size_t Length() const { return length_; }

private:
    char text_[kCapacity] = {};
    size_t length_ = 0;
};

}  // namespace brenvik::commands
