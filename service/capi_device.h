// The printer as the C API reaches it: one handle per printer, used by that
// printer's worker thread only.
#pragma once

#include <memory>

#include "service/config.h"
#include "service/device.h"

namespace brenvikd {

struct DeviceSettings {
    std::string logDir;       // the debug log's directory; empty = the library's default
    unsigned timeoutMs = 0;   // reply time-out; 0 = the library's default
    // A service runs for months: the newest 30 archives of each printer's
    // debug log are enough, and the disk does not fill.
    unsigned logArchivesKept = 30;
};

std::unique_ptr<Device> MakeCapiDevice(const PrinterConfig& printer, const DeviceSettings& settings);

// The C API's receipt validation, without a printer: every problem of the
// document (see ReceiptValidator).
json ValidateReceipt(const std::string& receiptJson);

}  // namespace brenvikd
