# One place that sets the warning set of every Loquant target.
#
# GCC 12 reports -Wrestrict and -Wstringop-overflow from inside libstdc++'s
# own string and vector code when optimising (std::string concatenation,
# vector insertion): false positives that no change of ours can remove, so
# those two are left out for GCC. Everything else is an error.
function(loquant_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wnull-dereference
    -Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-restrict -Wno-stringop-overflow)
  endif()
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety)
  endif()
endfunction()
