# Stages the package's files and zips them, flat, with fixed timestamps.
# -D: STRIP DLL IMAGES README STAGE ZIP
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE})
execute_process(COMMAND ${STRIP} --strip-debug -o ${STAGE}/refwarden.dll ${DLL}
                COMMAND_ERROR_IS_FATAL ANY)
file(COPY ${IMAGES} DESTINATION ${STAGE})
# Windows line ends, so every editor shows the instructions as written.
file(READ ${README} text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${STAGE}/INSTALL.txt "${text}")

set(files refwarden.dll refwarden.jpg refwarden.gif refwarden.png refwarden.bmp INSTALL.txt)
file(REMOVE ${ZIP})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip --mtime=2026-01-01 ${files}
                WORKING_DIRECTORY ${STAGE} COMMAND_ERROR_IS_FATAL ANY)
