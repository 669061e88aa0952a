// Small helpers shared by the check, document and report operations.
#pragma once

#include <cstdint>
#include <string>

#include "engine/printer_engine.h"

namespace brenvik::fiscal {

// A NULL text from a caller is taken as the empty text.
inline const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// An attribute value with & < > " escaped, so that an owner named with a
// quote still gives a well-formed document. Tab, line feed and carriage
// return become character references (a parser would fold them to blanks);
// the other control bytes, which XML 1.0 forbids, become blanks.
std::string XmlEscape(const std::string& value);

// The system key's position character of the configuration reply as its
// letter ('1' R, '2' X, '4' Z, '8' P, any other O) and as the number the
// key-position query answers (1, 2, 3, 4, else 0).
const char* KeyLetter(char key);
int32_t KeyNumber(char key);

}  // namespace brenvik::fiscal
