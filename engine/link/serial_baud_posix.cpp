#include "engine/link/serial_baud_posix.h"

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>
#endif

namespace brenvik {

#if defined(__linux__) && defined(BOTHER) && defined(TCGETS2)

bool SetArbitraryBaudRate(int fd, uint32_t rate) {
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
    t.c_cflag |= BOTHER;
    t.c_ispeed = rate;
    t.c_ospeed = rate;
#ifdef IBSHIFT
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD << IBSHIFT);  // input rate follows the output rate
#endif
    if (ioctl(fd, TCSETS2, &t) != 0) return false;
    struct termios2 back;
    return ioctl(fd, TCGETS2, &back) == 0 && back.c_ospeed == rate;
}

uint32_t ReadArbitraryBaudRate(int fd) {
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) return 0;
    return t.c_ospeed;
}

#else

bool SetArbitraryBaudRate(int /*fd*/, uint32_t /*rate*/) { return false; }
uint32_t ReadArbitraryBaudRate(int /*fd*/) { return 0; }

#endif

}  // namespace brenvik
