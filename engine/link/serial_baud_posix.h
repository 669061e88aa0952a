// Baud rates outside the termios constants (14400 and 56000 of the
// printer's list), set and read through the Linux termios2 interface.
// Kept apart because <asm/termbits.h> and <termios.h> cannot meet in one
// translation unit.
#pragma once

#include <cstdint>

namespace brenvik {

// Sets input and output rate of an already configured terminal; false where
// the system has no such interface or the driver refuses.
bool SetArbitraryBaudRate(int fd, uint32_t rate);
// The output rate as a number, also one without a constant; 0 if unknown.
uint32_t ReadArbitraryBaudRate(int fd);

}  // namespace brenvik
