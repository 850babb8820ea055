# Static build against musl with the system's GCC (Debian: musl-tools and
# musl-dev), used by the "musl" preset and usable on its own:
#   cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/musl.cmake
#
# A process per request pays for its start-up every time; musl's is a small
# fraction of glibc's. There is no C++ library built for musl: C++ files use
# libstdc++'s headers over musl's C headers, and programs are linked by the
# C driver without libstdc++, so that anything needing its library code
# (exceptions, RTTI, new, iostreams) fails to link instead of pulling in
# pieces built for glibc. tolm then checks its own binary after linking
# (cmake/check-static.cmake).

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)

execute_process(COMMAND gcc -dumpmachine OUTPUT_VARIABLE _tolm_triplet
                OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX REPLACE "-gnu.*$" "-musl" _tolm_musl_triplet "${_tolm_triplet}")
set(_tolm_musl_specs /usr/lib/${_tolm_musl_triplet}/musl-gcc.specs)
set(_tolm_musl_include /usr/include/${_tolm_musl_triplet})
if(NOT EXISTS ${_tolm_musl_specs} OR NOT EXISTS ${_tolm_musl_include}/stdio.h)
  message(FATAL_ERROR "musl not found (${_tolm_musl_specs}, ${_tolm_musl_include}): "
                      "apt-get install musl-tools musl-dev")
endif()

# libstdc++'s header directories, in the order g++ searches them, then
# musl's C headers in place of glibc's, then GCC's own.
execute_process(COMMAND g++ -x c++ -E -v /dev/null OUTPUT_QUIET ERROR_VARIABLE _tolm_search)
string(REGEX REPLACE ".*#include <...> search starts here:\n" "" _tolm_search "${_tolm_search}")
string(REGEX REPLACE "End of search list.*" "" _tolm_search "${_tolm_search}")
string(REPLACE "\n" ";" _tolm_search "${_tolm_search}")
set(_tolm_cxx_includes "")
foreach(_tolm_dir IN LISTS _tolm_search)
  string(STRIP "${_tolm_dir}" _tolm_dir)
  if(_tolm_dir MATCHES "/c\\+\\+/")
    string(APPEND _tolm_cxx_includes " -isystem ${_tolm_dir}")
  endif()
endforeach()
if(_tolm_cxx_includes STREQUAL "")
  message(FATAL_ERROR "no libstdc++ headers found in g++'s search path")
endif()
execute_process(COMMAND g++ -print-file-name=include OUTPUT_VARIABLE _tolm_gcc_include
                OUTPUT_STRIP_TRAILING_WHITESPACE)

# Position-independent, as the glibc build is, so that the code lands at a
# random address in every run: musl starts a static-pie program with
# rcrt1.o, which Debian's specs do not know; a copy of them learns it.
file(READ ${_tolm_musl_specs} _tolm_specs)
set(_tolm_lib /usr/lib/${_tolm_musl_triplet})
string(REPLACE "%{!shared: ${_tolm_lib}/Scrt1.o}"
               "%{static-pie: ${_tolm_lib}/rcrt1.o; !shared: ${_tolm_lib}/Scrt1.o}"
               _tolm_specs "${_tolm_specs}")
string(REPLACE "%{static:-static}"
               "%{static:-static} %{static-pie:-static -pie --no-dynamic-linker -z text}"
               _tolm_specs "${_tolm_specs}")
if(NOT _tolm_specs MATCHES "rcrt1\\.o" OR NOT _tolm_specs MATCHES "no-dynamic-linker"
   OR NOT EXISTS ${_tolm_lib}/rcrt1.o)
  message(FATAL_ERROR "${_tolm_musl_specs}: cannot be extended for static-pie")
endif()
set(_tolm_musl_specs ${CMAKE_BINARY_DIR}/musl-gcc.specs)
file(WRITE ${_tolm_musl_specs} "${_tolm_specs}")

set(CMAKE_C_FLAGS_INIT "-specs=${_tolm_musl_specs} -fPIE")
set(CMAKE_CXX_FLAGS_INIT
    "-fPIE -nostdinc -include ${CMAKE_CURRENT_LIST_DIR}/musl-compat.h${_tolm_cxx_includes} -isystem ${_tolm_musl_include} -isystem ${_tolm_gcc_include}"
)
# C files get the specs through their flags, which also reach the linker.
# C++ programs are linked by this rule alone, static whatever linker flags
# a packager adds.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-pie")
# Debian's GCC asks the linker for a build ID, which musl's specs drop:
# debugging symbols kept apart (dh_strip) are found by it.
set(CMAKE_CXX_LINK_EXECUTABLE
    "gcc -specs=${_tolm_musl_specs} -static-pie -Wl,--build-id <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

# Tells CMakeLists.txt to check the linked binary.
set(TOLM_MUSL ON)
