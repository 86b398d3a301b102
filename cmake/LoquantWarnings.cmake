# One place that sets the warning set of every Loquant target.
#
# GCC 12 reports -Wrestrict and -Wstringop-overflow from inside libstdc++'s
# own string and vector code when optimising (std::string concatenation,
# vector insertion): false positives that no change of ours can remove, so
# those two are left out for GCC. Everything else is an error.
#
# Clang's thread-safety analysis is not switched on: it checks only what is
# annotated, and the locks here do not fit its model (a timed enter that may
# fail, held by a holder that lets go and takes the lock again within its
# scope, and section mutexes shared between processes). A flag that checks
# nothing would only mislead; RAII holders (MutexHold) and the sanitizer
# builds are what keep the locking right.
function(loquant_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wnull-dereference
    -Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-restrict -Wno-stringop-overflow)
  endif()
endfunction()
