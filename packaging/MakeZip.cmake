# Stages the package's files and zips them with fixed timestamps:
#   x86/refwarden.dll x86/refwarden.exe   the 32-bit filter and its tool
#   x64/refwarden.dll x64/refwarden.exe   the 64-bit filter and its tool
#   refwarden.jpg .gif .png .bmp          the placeholders
#   INSTALL.txt                           with the version and Windows line ends
# -D: STRIP_x86 BIN_x86 STRIP_x64 BIN_x64 IMAGES README VERSION STAGE ZIP
file(REMOVE_RECURSE ${STAGE})
set(files)
foreach(arch x86 x64)
  file(MAKE_DIRECTORY ${STAGE}/${arch})
  foreach(name refwarden.dll refwarden.exe)
    if(NOT EXISTS ${BIN_${arch}}/${name})
      message(FATAL_ERROR "${BIN_${arch}}/${name} is missing: build the ${arch} filter first")
    endif()
    # Debug information stays out of what is shipped.
    execute_process(COMMAND ${STRIP_${arch}} --strip-debug -o ${STAGE}/${arch}/${name}
                            ${BIN_${arch}}/${name}
                    COMMAND_ERROR_IS_FATAL ANY)
    list(APPEND files ${arch}/${name})
  endforeach()
endforeach()
file(COPY ${IMAGES} DESTINATION ${STAGE})
foreach(image ${IMAGES})
  get_filename_component(name ${image} NAME)
  list(APPEND files ${name})
endforeach()
# Windows line ends, so every editor shows the instructions as written.
file(READ ${README} text)
string(REPLACE "@REFWARDEN_VERSION@" "${VERSION}" text "${text}")
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${STAGE}/INSTALL.txt "${text}")
list(APPEND files INSTALL.txt)

file(REMOVE ${ZIP})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip --mtime=2026-01-01 ${files}
                WORKING_DIRECTORY ${STAGE} COMMAND_ERROR_IS_FATAL ANY)
