// Receipts from JSON: validation without a printer and printing.
#include "brenvik/brenvik.h"
#include "capi/handle.h"

extern "C" {

brenvik_status brenvik_receipt_validate(const char* json, brenvik_receipt_info* info,
                                        brenvik_receipt_error* error) {
    (void)json;
    (void)info;
    (void)error;
    return BRENVIK_E_UNSUPPORTED;
}

brenvik_status brenvik_receipt_print(brenvik_printer* printer, const char* json,
                                     brenvik_receipt_progress_fn progress, void* user,
                                     brenvik_receipt_result* result) {
    (void)json;
    (void)progress;
    (void)user;
    (void)result;
    if (printer == nullptr) return BRENVIK_E_ARGUMENT;
    std::lock_guard<std::mutex> lock(printer->mutex);
    return printer->Fail(BRENVIK_E_UNSUPPORTED, "receipts are not available yet");
}

}  // extern "C"
