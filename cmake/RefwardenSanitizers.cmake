# REFWARDEN_SANITIZE applies to everything built, so that instrumented code
# never links against uninstrumented copies of our own libraries.
if(REFWARDEN_SANITIZE)
  list(JOIN REFWARDEN_SANITIZE "," _refwarden_sanitizers)
  add_compile_options(-fsanitize=${_refwarden_sanitizers} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_refwarden_sanitizers})
endif()
