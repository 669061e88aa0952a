// The JSON Schemas of the answers (docs/schemas/), built in.
#pragma once

#include <string>

namespace brenvik::results {

// The text of docs/schemas/`file` ("error.schema.json"); nullptr when
// there is no such schema.
const char* SchemaText(const std::string& file);

}  // namespace brenvik::results
