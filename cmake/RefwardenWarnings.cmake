# refwarden_warnings(<target>): the project's warning set, per target, so that
# third-party code built alongside is not held to it.
function(refwarden_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
    -Wunused -Woverloaded-virtual -Wnull-dereference -Wdouble-promotion
    -Wformat=2 -Wimplicit-fallthrough)
  if(REFWARDEN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
