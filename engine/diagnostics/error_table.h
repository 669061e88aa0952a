// Error numbers, their words and messages, as tables the code and the tests walk.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/printer_engine.h"

namespace brenvik {

struct ErrorEntry {
    uint32_t number;
    const char* word;     // stored in ErrorCode; nullptr for port errors
    const char* message;  // code page 1251
};

extern const ErrorEntry kErrorTable[];
extern const size_t kErrorTableSize;

// The entry of `number`, or nullptr.
const ErrorEntry* FindError(uint32_t number);

}  // namespace brenvik
