// The native platform pieces wired together; each comes from the back-end
// file of the platform this binary is built for.
#include "engine/platform.h"

namespace brenvik {

EnginePlatform NativePlatform() {
    EnginePlatform platform;
    platform.line = &NativeSerialLine();
    platform.log = &NativeLogFile();
    platform.clock = &NativeClock();
    platform.dialog = &NativeMessageDialog();
    platform.logDirectory = LogDirectory();
    platform.pathSeparator = NativePathSeparator();
    return platform;
}

}  // namespace brenvik
