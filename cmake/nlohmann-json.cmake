# nlohmann::json, header-only. A native build finds Debian's package; a cross
# build uses the same headers, copied into the build tree so that the host's
# /usr/include never joins the Windows compiler's search path.
if(TARGET nlohmann_json::nlohmann_json)
  return()
endif()
if(CMAKE_CROSSCOMPILING)
  find_path(VELMORA_NLOHMANN_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT VELMORA_NLOHMANN_INCLUDE)
    message(FATAL_ERROR "nlohmann/json.hpp not found: install nlohmann-json3-dev (scripts/setup)")
  endif()
  file(COPY ${VELMORA_NLOHMANN_INCLUDE}/nlohmann DESTINATION ${CMAKE_BINARY_DIR}/host-headers)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/host-headers)
else()
  find_package(nlohmann_json 3 REQUIRED GLOBAL)
endif()
