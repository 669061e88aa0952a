// Files built into brenvikd, so it serves them with no outside assets.
#pragma once

namespace brenvikd {

const char* StatusPageHtml();  // status.html
const char* OpenApiJson();     // openapi.json

}  // namespace brenvikd
