# nlohmann-json for the MinGW cross builds. Header-only like CLI11, so Debian's
# copy serves any target; as with CLI11 (see CLI11Config.cmake) only its own
# folder is exposed, not all of /usr/include.
if(NOT TARGET nlohmann_json::nlohmann_json)
  set(_refwarden_json_include ${CMAKE_BINARY_DIR}/mingw-packages/include)
  file(MAKE_DIRECTORY ${_refwarden_json_include})
  if(NOT EXISTS ${_refwarden_json_include}/nlohmann)
    file(CREATE_LINK /usr/include/nlohmann ${_refwarden_json_include}/nlohmann SYMBOLIC)
  endif()
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${_refwarden_json_include})
  unset(_refwarden_json_include)
endif()
set(nlohmann_json_FOUND TRUE)
