# Warnings for our own targets only; third-party headers come in as SYSTEM.
function(velkaro_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wnon-virtual-dtor -Wno-missing-field-initializers)
  # Local shadowing; clang (the fuzz preset) spells it differently.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wshadow=local)
  else()
    target_compile_options(${target} PRIVATE -Wshadow)
  endif()
  if(VELKARO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
