# The version of Debian's nlohmann-json, whose headers the file beside this one exposes.
include(/usr/share/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake)
