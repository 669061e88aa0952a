# nlohmann-json for the cross builds: the host package's headers only.
include(${CMAKE_CURRENT_LIST_DIR}/HostHeaders.cmake)
brenvik_host_headers(nlohmann_json nlohmann_json::nlohmann_json nlohmann)
