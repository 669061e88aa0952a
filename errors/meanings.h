// What each error number means to a person, in English and Ukrainian, and
// what to do about it. The rows are those of the reference manual
// (docs/tools/error_notes.md), compiled in at build time: the engine keeps
// its own Russian messages, the edges (C API, brenvik, brenvikd) add these.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brenvik::errors {

enum class Language { kEnglish = 0, kUkrainian = 1 };

struct Meaning {
    uint32_t number;
    const char* meaning[2];  // by Language; UTF-8
    const char* advice[2];
};

// Generated (meanings_table.cpp), ordered by number.
extern const Meaning kMeanings[];
extern const size_t kMeaningCount;

// The row of `number`; nullptr for 0 and numbers the table lacks.
const Meaning* FindMeaning(uint32_t number);

// "uk" (any case, with or without a region: "uk-UA", "uk_UA.UTF-8") is
// Ukrainian; anything else, and nullptr, English.
Language LanguageOf(const char* tag);

// Static UTF-8 texts; "" for a number the table lacks.
const char* MeaningOf(uint32_t number, Language language);
const char* AdviceOf(uint32_t number, Language language);

}  // namespace brenvik::errors
