# Warnings for our own targets only; third-party headers come in as SYSTEM.
function(velkaro_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow=local -Wnon-virtual-dtor
    -Wno-missing-field-initializers)
  if(VELKARO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
