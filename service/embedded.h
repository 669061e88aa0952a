// Files built into brenvikd, so it serves them with no outside assets.
#pragma once

namespace brenvikd {

const char* StatusPageHtml();  // status.html
const char* OpenApiJson();     // openapi.json
// The web sample that prints a receipt, served at /sample: from the service's
// own origin it needs no --cors-origin.
const char* SamplePageHtml();

}  // namespace brenvikd
