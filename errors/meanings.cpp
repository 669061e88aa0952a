#include "errors/meanings.h"

namespace brenvik::errors {

const Meaning* FindMeaning(uint32_t number) {
    for (size_t i = 0; i < kMeaningCount; ++i)
        if (kMeanings[i].number == number) return &kMeanings[i];
    return nullptr;
}

Language LanguageOf(const char* tag) {
    if (tag == nullptr) return Language::kEnglish;
    const char a = static_cast<char>(tag[0] | 0x20);
    const char b = a == 'u' ? static_cast<char>(tag[1] | 0x20) : '\0';
    const char end = b == 'k' ? tag[2] : 'x';
    return end == '\0' || end == '-' || end == '_' ? Language::kUkrainian : Language::kEnglish;
}

const char* MeaningOf(uint32_t number, Language language) {
    const Meaning* row = FindMeaning(number);
    return row != nullptr ? row->meaning[static_cast<int>(language)] : "";
}

const char* AdviceOf(uint32_t number, Language language) {
    const Meaning* row = FindMeaning(number);
    return row != nullptr ? row->advice[static_cast<int>(language)] : "";
}

}  // namespace brenvik::errors
