# Checks a binary of the musl build: linked statically, with no glibc symbol
# versions and no library code of libstdc++ in it. A binary that fails is
# removed, so that nothing installs or tests it.
#   cmake -DBINARY=path/to/tolm -P cmake/check-static.cmake

if(NOT BINARY OR NOT EXISTS "${BINARY}")
  message(FATAL_ERROR "check-static: no binary given (-DBINARY=...)")
endif()

function(refuse why)
  file(REMOVE "${BINARY}")
  message(FATAL_ERROR "${BINARY} is not a static musl binary: ${why}; removed")
endfunction()

find_program(READELF NAMES readelf REQUIRED)
execute_process(COMMAND ${READELF} -hlW "${BINARY}" OUTPUT_VARIABLE headers RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  refuse("readelf failed")
endif()
# A static-pie program has a dynamic section, for relocating itself, but no
# interpreter and no library to load.
if(headers MATCHES "\n *INTERP ")
  refuse("it names a program interpreter")
endif()
if(NOT headers MATCHES "Type: +(EXEC|DYN) ")
  refuse("not an executable file")
endif()
execute_process(COMMAND ${READELF} -dW "${BINARY}" OUTPUT_VARIABLE dynamic)
if(dynamic MATCHES "\\(NEEDED\\)")
  refuse("it needs shared libraries")
endif()
# glibc's start files mark every program with an ABI note; musl's do not.
execute_process(COMMAND ${READELF} -SW "${BINARY}" OUTPUT_VARIABLE sections)
if(sections MATCHES "\\.note\\.ABI-tag")
  refuse("glibc's ABI note")
endif()
execute_process(COMMAND ${READELF} -VW "${BINARY}" OUTPUT_VARIABLE versions)
if(versions MATCHES "GLIBC")
  refuse("glibc symbol versions")
endif()
# Symbol names, when the binary still has them (a stripped one has not):
# musl's start-up must be there, and nothing of glibc's start-up or stdio,
# nor libstdc++'s runtime (exceptions, RTTI, operator new and delete).
execute_process(COMMAND ${READELF} -sW "${BINARY}" OUTPUT_VARIABLE symbols)
if(symbols MATCHES " FUNC ")
  if(NOT symbols MATCHES " __init_libc\n")
    refuse("no musl start-up (__init_libc)")
  endif()
  string(REGEX MATCHALL
         " (__libc_start_call_main|_dl_relocate_static_pie|_IO_2_1_stdout_|__libc_setup_tls|__cxa_throw|__cxa_begin_catch|__gxx_personality_v0|_ZTVN10__cxxabiv[^ \n]*|_Znwm|_Znam|_ZdlPv[^ \n]*)\n"
         found "${symbols}")
  if(found)
    list(REMOVE_DUPLICATES found)
    string(REPLACE "\n" "" found "${found}")
    list(JOIN found "," found)
    refuse("it holds${found}")
  endif()
endif()
