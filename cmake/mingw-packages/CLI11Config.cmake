# CLI11 for the MinGW cross builds. CLI11 is header-only, so Debian's copy
# serves any target, but its own package file adds all of /usr/include, whose
# glibc headers would shadow MinGW's. This one exposes the CLI/ folder alone.
if(NOT TARGET CLI11::CLI11)
  set(_refwarden_cli11_include ${CMAKE_BINARY_DIR}/mingw-packages/include)
  file(MAKE_DIRECTORY ${_refwarden_cli11_include})
  if(NOT EXISTS ${_refwarden_cli11_include}/CLI)
    file(CREATE_LINK /usr/include/CLI ${_refwarden_cli11_include}/CLI SYMBOLIC)
  endif()
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${_refwarden_cli11_include})
  unset(_refwarden_cli11_include)
endif()
set(CLI11_FOUND TRUE)
