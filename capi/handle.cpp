// The handle: its engine, its error and the conversions every call shares.
#include "capi/handle.h"

#include <cstdlib>
#include <cstring>

#include "codepage/cp1251.h"

using brenvik::PrinterEngine;

void brenvik_printer::MakeEngine() {
    // This handle's own pieces; nothing of the process-wide native set.
    brenvik::EnginePlatform platform;
    platform.line = pieces.line.get();
    platform.log = pieces.log.get();
    platform.clock = pieces.clock.get();
    platform.dialog = &dialog;
    platform.logDirectory = logDirectory.empty() ? brenvik::LogDirectory() : logDirectory;
    platform.pathSeparator = brenvik::NativePathSeparator();
    // The old engine's log must be closed before the new one opens its own.
    engine.reset();
    pieces.log->Close();
    engine = std::make_unique<PrinterEngine>(platform);
    engine->SetShowErrorMessages(0);
    engine->ReplySilenceMs = timeoutMs;
    engine->ConnectBudgetMs = connectTimeoutMs;
    engine->LogArchivesKept = logArchivesKept;
}

brenvik_status brenvik_printer::Ok() {
    error = brenvik_error{};
    return BRENVIK_OK;
}

brenvik_status brenvik_printer::Fail(brenvik_status status, const std::string& message, const char* argument) {
    error = brenvik_error{};
    error.status = status;
    brenvik::CopyText(error.message, sizeof error.message, message.c_str());
    brenvik::CopyText(error.argument, sizeof error.argument, argument);
    return status;
}

brenvik_status brenvik_printer::FromEngine() {
    if (engine->Succeeded()) return Ok();
    const uint32_t number = engine->ErrorNumber;
    if (number == brenvik::kErrUnconfirmed) {
        // Neither done nor not done for sure: a status of its own, so that
        // no caller takes it for a failure that is safe to retry.
        error = brenvik_error{};
        error.status = BRENVIK_E_UNCERTAIN;
        error.number = number;
        brenvik::CopyText(error.word, sizeof error.word, engine->ErrorCode);
        const std::string message = brenvik::text::Cp1251ToUtf8(std::string(PrinterEngine::ErrorMessage(number)));
        brenvik::CopyText(error.message, sizeof error.message, message.c_str());
        return Status();
    }
    // Port trouble (1-7), a silent printer (80), a line that only babbles
    // (94) and a dropped link all mean the caller has no printer to talk to.
    const bool link = (number >= 1 && number <= brenvik::kErrNoConnection) || number == brenvik::kErrTimeout ||
                      number == brenvik::kErrEndlessReply || engine->Connected == 0;
    error = brenvik_error{};
    error.status = link ? BRENVIK_E_NO_CONNECTION : BRENVIK_E_REFUSED;
    error.number = number;
    brenvik::CopyText(error.word, sizeof error.word, engine->ErrorCode);
    const std::string message = brenvik::text::Cp1251ToUtf8(std::string(PrinterEngine::ErrorMessage(number)));
    brenvik::CopyText(error.message, sizeof error.message, message.c_str());
    return Status();
}

namespace brenvik::capi {

brenvik_outcome OutcomeOf(Outcome outcome) {
    switch (outcome) {
    case Outcome::None: return BRENVIK_OUTCOME_NONE;
    case Outcome::Done: return BRENVIK_OUTCOME_DONE;
    case Outcome::Refused: return BRENVIK_OUTCOME_REFUSED;
    case Outcome::ReconciledDone: return BRENVIK_OUTCOME_RECONCILED_DONE;
    case Outcome::ReconciledNotDone: return BRENVIK_OUTCOME_RECONCILED_NOT_DONE;
    case Outcome::Unreachable:
    case Outcome::Undecided: return BRENVIK_OUTCOME_UNKNOWN;
    }
    return BRENVIK_OUTCOME_UNKNOWN;
}

bool ToEngineText(brenvik_printer& p, const char* argument, const char* utf8, size_t limit, std::string& out) {
    text::ToCp1251Result converted = text::Utf8ToCp1251(utf8, limit);
    if (converted.status != text::Conversion::kOk) {
        p.Fail(BRENVIK_E_ARGUMENT, text::RefusalMessage(converted, argument, limit), argument);
        return false;
    }
    out = std::move(converted.bytes);
    return true;
}

char* Duplicate(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

int64_t Number(const char* text, size_t digits) {
    int64_t value = 0;
    bool negative = false;
    for (size_t i = 0; i < digits && text[i] != '\0'; ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            value = value * 10 + (c - '0');
        } else if (c == '-') {
            negative = true;
        }
    }
    return negative ? -value : value;
}

}  // namespace brenvik::capi
