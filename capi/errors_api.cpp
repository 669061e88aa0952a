// Error numbers explained: the meanings and advice of the manual's table
// (errors/), for the handle's last error and for any caller.
#include "brenvik/brenvik.h"
#include "capi/handle.h"
#include "errors/meanings.h"

namespace brenvik::capi {

brenvik_error Explained(const brenvik_error& error) {
    brenvik_error full = error;
    if (full.number == 0) return full;
    if (full.meaning[0] == '\0')
        CopyText(full.meaning, sizeof full.meaning, errors::MeaningOf(full.number, errors::Language::kEnglish));
    if (full.advice[0] == '\0')
        CopyText(full.advice, sizeof full.advice, errors::AdviceOf(full.number, errors::Language::kEnglish));
    return full;
}

}  // namespace brenvik::capi

extern "C" {

const char* brenvik_error_meaning(uint32_t number, const char* lang) {
    return brenvik::errors::MeaningOf(number, brenvik::errors::LanguageOf(lang));
}

const char* brenvik_error_advice(uint32_t number, const char* lang) {
    return brenvik::errors::AdviceOf(number, brenvik::errors::LanguageOf(lang));
}

}  // extern "C"
