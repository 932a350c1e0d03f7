# Compares the dynamic symbols that the shared library defines with the lists of
# names the public headers declare. Run as: cmake -DLIB=... -DEXPECTED=<dir> [-DNM=<nm>] -P this.
# NM is the target's nm in a cross build.
if(NOT NM)
  set(NM nm)
endif()
execute_process(COMMAND ${NM} -D -C --defined-only ${LIB}
  OUTPUT_VARIABLE nm_out RESULT_VARIABLE nm_rc)
if(NOT nm_rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${nm_out}")
set(actual "")
foreach(line IN LISTS lines)
  # "<address> <kind> <name>"; the name may contain spaces once demangled.
  if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] (.+)$")
    set(name "${CMAKE_MATCH_1}")
    # Compiler-generated data that comes with any exported class.
    if(name MATCHES "^(typeinfo|vtable|_init$|_fini$|_edata$|_end$|__bss_start$)")
      continue()
    endif()
    list(APPEND actual "${name}")
  endif()
endforeach()
list(REMOVE_DUPLICATES actual)
list(SORT actual)

file(GLOB lists ${EXPECTED}/*.txt)
set(expected "")
foreach(list_file IN LISTS lists)
  file(STRINGS ${list_file} names REGEX "^[^#]")
  list(APPEND expected ${names})
endforeach()
list(REMOVE_DUPLICATES expected)
list(SORT expected)

set(extra ${actual})
list(REMOVE_ITEM extra ${expected})
set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
if(extra OR missing)
  string(REPLACE ";" "\n  " extra_text "${extra}")
  string(REPLACE ";" "\n  " missing_text "${missing}")
  message(FATAL_ERROR "exported symbols differ from ${EXPECTED}\n"
    "exported but not listed:\n  ${extra_text}\nlisted but not exported:\n  ${missing_text}")
endif()
list(LENGTH actual count)
message(STATUS "${LIB}: the ${count} exported names match")
