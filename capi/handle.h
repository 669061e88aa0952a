// A brenvik_printer: one engine with its own platform pieces, the handle's
// lock and its last error. Shared by the C API's source files.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "brenvik/brenvik.h"
#include "engine/platform.h"
#include "engine/printer_engine.h"

namespace brenvik::capi {

// Handles never show a box: the engine's error goes to the handle's error.
class SilentDialog final : public MessageDialog {
public:
    void Show(const char*, const char*, uint32_t) override {}
};

}  // namespace brenvik::capi

struct brenvik_printer {
    std::mutex mutex;
    brenvik::OwnedNativePieces pieces;
    brenvik::capi::SilentDialog dialog;
    std::string logDirectory;  // empty: the engine's default
    uint32_t timeoutMs = brenvik::PrinterEngine::kReplySilenceMs;
    uint32_t connectTimeoutMs = 0;  // 0: the printer's whole wake-up
    uint32_t logArchivesKept = 0;  // 0 keeps them all
    std::unique_ptr<brenvik::PrinterEngine> engine;
    brenvik_error error{};

    // A new engine on this handle's pieces (the log is opened in the
    // directory in force now).
    void MakeEngine();
    bool Connected() const { return engine != nullptr && engine->Connected != 0; }

    brenvik_status Status() const { return static_cast<brenvik_status>(error.status); }
    brenvik_status Ok();
    // A failure of the library's own, about `argument` (may be empty).
    brenvik_status Fail(brenvik_status status, const std::string& message, const char* argument = "");
    // The engine's outcome after an operation: OK by the engine's success
    // rule, else the error number, word and message it left.
    brenvik_status FromEngine();
};

namespace brenvik::capi {

// The C API's name of an engine outcome.
brenvik_outcome OutcomeOf(Outcome outcome);

// Converts a UTF-8 argument for the engine; on failure the handle's error
// names the argument (and the limit) and false is returned.
bool ToEngineText(brenvik_printer& p, const char* argument, const char* utf8, size_t limit, std::string& out);

// The error with its number's meaning and advice (English) filled in
// where it has none of its own.
brenvik_error Explained(const brenvik_error& error);

// A text the caller frees with brenvik_free; NULL when out of memory.
char* Duplicate(const std::string& text);

// Reads `digits` characters as a decimal number; blanks are skipped.
int64_t Number(const char* text, size_t digits);

// Structs that grow (see the header): the caller's `size` says how far its
// struct goes, and nothing past it, nor past what this library knows, is
// ever written.
template <class T>
bool SizeSet(const T* out) {
    static_assert(offsetof(T, size) == 0, "size leads");
    return out->size >= sizeof(uint32_t);
}
template <class T>
size_t Reach(const T* out) {
    return std::min<size_t>(out->size, sizeof(T));
}
template <class T>
void Zero(T* out) {
    std::memset(reinterpret_cast<unsigned char*>(out) + sizeof(uint32_t), 0, Reach(out) - sizeof(uint32_t));
}
template <class T>
void Deliver(T* out, const T& full) {
    std::memcpy(reinterpret_cast<unsigned char*>(out) + sizeof(uint32_t),
                reinterpret_cast<const unsigned char*>(&full) + sizeof(uint32_t), Reach(out) - sizeof(uint32_t));
}

}  // namespace brenvik::capi
