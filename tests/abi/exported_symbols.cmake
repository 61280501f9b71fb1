# Checks the dynamic symbol table of libzrfs.so: it exports exactly the C
# interface listed in the REQUIRED file, and nothing else.
#
#   cmake -DNM=<nm> -DLIB=<libzrfs.so> -DREQUIRED=<list file>
#         [-DSANITIZED=ON] -P exported_symbols.cmake
#
# Allowed: names of the C layers (zrfs_, tf_, bf_, df_, fsc_) for functions
# and g_ for exported objects.  Nothing C++-mangled and none of the linker's
# own names (_init, _fini, __bss_start, _edata, _end): the toolchains used here
# keep those local, so their appearance would mean the link settings changed.
# AddressSanitizer adds one __odr_asan.<name> indicator per exported object,
# allowed in sanitized builds only.
cmake_minimum_required(VERSION 3.25)
foreach(var NM LIB REQUIRED)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${NM} -D --defined-only ${LIB}
                OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIB}: ${errors}")
endif()

set(function_re "^(zrfs|tf|bf|df|fsc)_[A-Za-z0-9_]+$")
set(object_re "^g_[A-Za-z0-9_]+$")
set(failures "")
set(exported "")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  if(NOT line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^ ]+)$")
    string(APPEND failures "  unreadable line: ${line}\n")
    continue()
  endif()
  set(type "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  list(APPEND exported "${name}")
  if(name MATCHES "${function_re}")
    # Functions live in text (T); an exported table or variable under a
    # layer prefix would be a mistake.
    if(NOT type MATCHES "^[TtWi]$")
      string(APPEND failures "  ${name}: type ${type}, expected a function\n")
    endif()
  elseif(name MATCHES "${object_re}")
    if(NOT type MATCHES "^[BbDdGgSsVRr]$")
      string(APPEND failures "  ${name}: type ${type}, expected a data object\n")
    endif()
  elseif(SANITIZED AND name MATCHES "^__odr_asan\\.g_[A-Za-z0-9_]+$")
    # ASan's one-definition-rule indicator of an exported object.
  elseif(name MATCHES "^_Z")
    string(APPEND failures "  C++ symbol exported: ${name}\n")
  else()
    string(APPEND failures "  unexpected export: ${name} (${type})\n")
  endif()
endforeach()

file(STRINGS ${REQUIRED} listed REGEX "^[^#]")
set(required "")
foreach(name IN LISTS listed)
  string(STRIP "${name}" name)
  list(APPEND required "${name}")
  if(NOT name IN_LIST exported)
    string(APPEND failures "  missing export: ${name}\n")
  endif()
endforeach()
# The list is the whole interface: a C name exported without being listed
# is a call added without thought for the ABI, or an internal one leaking.
foreach(name IN LISTS exported)
  if(name MATCHES "${function_re}|${object_re}" AND NOT name IN_LIST required)
    string(APPEND failures "  exported but not listed: ${name}\n")
  endif()
endforeach()

list(LENGTH exported count)
if(failures)
  message(FATAL_ERROR "libzrfs.so exports are wrong:\n${failures}")
endif()
message(STATUS "libzrfs.so exports ${count} C names, all expected")
