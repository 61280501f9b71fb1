# Checks that loading libzrfs.so runs none of the library's code.
#
#   cmake -DREADELF=<readelf> -DLIB=<libzrfs.so> -DBASELINE=<empty .so>
#         -P load_time.cmake
#
# The library must not start its thread, touch IPC objects or read the key
# directory merely because a program links it: all of that waits for
# zrfs_Init.  Rather than watching a dlopen() for side effects (which only
# sees what happens to run on this machine), this looks at what the dynamic
# loader would call: DT_INIT plus the DT_INIT_ARRAY entries.  Any namespace-
# scope object with a dynamic initializer, and any constructor attribute,
# adds an INIT_ARRAY entry.  The toolchain's own entries (frame_dummy from
# crtbeginS.o) are measured on BASELINE, a shared library built from an
# empty source with the same compiler and flags, so the check holds for
# every toolchain without knowing what it contributes.
cmake_minimum_required(VERSION 3.25)
foreach(var READELF LIB BASELINE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

function(read_init_entries lib out_prefix)
  execute_process(COMMAND ${READELF} --wide --dynamic ${lib}
                  OUTPUT_VARIABLE dyn ERROR_VARIABLE errors RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${READELF} failed on ${lib}: ${errors}")
  endif()
  set(init_array 0)
  if(dyn MATCHES "\\(INIT_ARRAYSZ\\) +([0-9]+) \\(bytes\\)")
    set(init_array ${CMAKE_MATCH_1})
  endif()
  set(init NO)
  if(dyn MATCHES "\\(INIT\\) ")
    set(init YES)
  endif()
  set(preinit NO)
  if(dyn MATCHES "\\(PREINIT_ARRAY")
    set(preinit YES)
  endif()
  set(${out_prefix}_init_array ${init_array} PARENT_SCOPE)
  set(${out_prefix}_init ${init} PARENT_SCOPE)
  set(${out_prefix}_preinit ${preinit} PARENT_SCOPE)
endfunction()

read_init_entries(${LIB} lib)
read_init_entries(${BASELINE} base)

set(failures "")
if(NOT lib_init_array EQUAL base_init_array)
  string(APPEND failures "  INIT_ARRAY holds ${lib_init_array} bytes, the toolchain's own "
                         "${base_init_array}: a static initializer or constructor function "
                         "runs at load time (look for _GLOBAL__sub_I_ in nm output)\n")
endif()
if(NOT lib_init STREQUAL base_init)
  string(APPEND failures "  DT_INIT present: ${lib_init}, in the baseline: ${base_init}\n")
endif()
if(lib_preinit)
  string(APPEND failures "  a PREINIT_ARRAY is present\n")
endif()
if(failures)
  message(FATAL_ERROR "libzrfs.so runs code when loaded:\n${failures}")
endif()
message(STATUS "libzrfs.so: INIT_ARRAY ${lib_init_array} bytes, as the toolchain's own")
