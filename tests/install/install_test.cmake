# Installs the build tree into a fresh prefix and builds programs against it
# the two ways users do: find_package(zrfs CONFIG) and pkg-config.
#
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DLIBDIR=lib
#         -DBINDIR=bin -DDOCDIR=share/doc/zrfs -DGENERATOR=Ninja -DC_COMPILER=cc
#         -DCXX_COMPILER=c++ -DREADELF=readelf -DPKG_CONFIG=pkg-config (or empty)
#         -DPROJECT_VERSION=x.y.z -DTOOL=1 (the tool is built) [-DCROSS=ON
#         -DEMULATOR="qemu-arm -L ..."] -P install_test.cmake
#
# A cross build stops after checking the installed tree and running the
# installed tool through the emulator: its programs are not for this machine.
cmake_minimum_required(VERSION 3.25)
foreach(var BUILD_DIR WORK_DIR CONSUMER_DIR LIBDIR BINDIR DOCDIR GENERATOR C_COMPILER CXX_COMPILER
            READELF PROJECT_VERSION HEADER_DIR TOOL)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
set(libdir ${prefix}/${LIBDIR})

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# ---- What lands where -------------------------------------------------------
string(REGEX MATCH "^[0-9]+" major "${PROJECT_VERSION}")
set(expected
  include/zrfs.h
  ${LIBDIR}/libzrfs.a
  ${LIBDIR}/libzrfs.so.${PROJECT_VERSION}
  ${LIBDIR}/cmake/zrfs/zrfsConfig.cmake
  ${LIBDIR}/cmake/zrfs/zrfsConfigVersion.cmake
  ${LIBDIR}/cmake/zrfs/zrfsTargets.cmake
  ${LIBDIR}/pkgconfig/zrfs.pc
  ${DOCDIR}/LICENSE
  ${DOCDIR}/CHANGELOG.md
  ${DOCDIR}/examples/record_and_play.c)
if(TOOL)
  list(APPEND expected ${BINDIR}/zrfs)
endif()
file(GLOB layer_headers RELATIVE ${HEADER_DIR} ${HEADER_DIR}/zrfs/*.h)
foreach(header IN LISTS layer_headers)
  list(APPEND expected include/${header})
endforeach()
foreach(file IN LISTS expected)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
# The tool, where it is built, comes with its manual page and completion.
if(EXISTS ${prefix}/bin/zrfs)
  foreach(file share/man/man1/zrfs.1 share/bash-completion/completions/zrfs)
    if(NOT EXISTS ${prefix}/${file})
      message(FATAL_ERROR "not installed with the tool: ${file}")
    endif()
  endforeach()
endif()
# The development link and the soname link lead to the real file.
file(READ_SYMLINK ${libdir}/libzrfs.so dev_link)
file(READ_SYMLINK ${libdir}/libzrfs.so.${major} soname_link)
if(NOT dev_link STREQUAL "libzrfs.so.${major}" OR
   NOT soname_link STREQUAL "libzrfs.so.${PROJECT_VERSION}")
  message(FATAL_ERROR "symlinks: libzrfs.so -> ${dev_link}, libzrfs.so.${major} -> ${soname_link}")
endif()
run(${READELF} --wide --dynamic ${libdir}/libzrfs.so.${PROJECT_VERSION})
if(NOT run_output MATCHES "\\(SONAME\\) +Library soname: \\[libzrfs\\.so\\.${major}\\]")
  message(FATAL_ERROR "libzrfs.so has no soname libzrfs.so.${major}:\n${run_output}")
endif()
if(run_output MATCHES "\\((RPATH|RUNPATH)\\)")
  message(FATAL_ERROR "installed libzrfs.so keeps a build tree search path:\n${run_output}")
endif()

# The installed tool runs and reports this version (in a cross build through
# the emulator, which shows the tool was built for the target).
if(TOOL)
  separate_arguments(runner UNIX_COMMAND "${EMULATOR}")
  run(${runner} ${prefix}/${BINDIR}/zrfs --version)
  if(NOT run_output MATCHES "^zrfs ${PROJECT_VERSION}\nlibzrfs ${PROJECT_VERSION}\nfeatures: ")
    message(FATAL_ERROR "installed zrfs --version printed: ${run_output}")
  endif()
endif()
if(CROSS)
  message(STATUS "installed into ${prefix}; the installed tree is complete")
  file(REMOVE_RECURSE ${WORK_DIR})
  return()
endif()

# Does the program need libzrfs.so at run time?
function(check_needs_shared exe expected)
  run(${READELF} --wide --dynamic ${exe})
  if(run_output MATCHES "NEEDED\\).*\\[libzrfs\\.so\\.${major}\\]")
    set(needs YES)
  else()
    set(needs NO)
  endif()
  if(NOT needs STREQUAL expected)
    message(FATAL_ERROR "${exe}: needs libzrfs.so: ${needs}, expected ${expected}")
  endif()
endfunction()

# ---- find_package ----------------------------------------------------------
set(cmake_build ${WORK_DIR}/cmake-consumer)
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${cmake_build} -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON)
run(${CMAKE_COMMAND} --build ${cmake_build})
foreach(kind shared static)
  run(${cmake_build}/consumer_${kind})
  if(NOT run_output MATCHES "consumer: ok")
    message(FATAL_ERROR "consumer_${kind} printed: ${run_output}")
  endif()
endforeach()
check_needs_shared(${cmake_build}/consumer_shared YES)
check_needs_shared(${cmake_build}/consumer_static NO)

# ---- pkg-config --------------------------------------------------------------
# Without pkg-config, the flags it would give.
if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
  set(ENV{PKG_CONFIG_LIBDIR} ${libdir}/pkgconfig)  # this prefix only
  run(${PKG_CONFIG} --modversion zrfs)
  string(STRIP "${run_output}" version)
  if(NOT version STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "pkg-config reports version ${version}, the project is ${PROJECT_VERSION}")
  endif()
  run(${PKG_CONFIG} --cflags --libs zrfs)
  string(STRIP "${run_output}" flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(pc_exe ${WORK_DIR}/pkg-config-consumer)
  run(${C_COMPILER} -std=c99 -Wall -Wextra -Werror ${CONSUMER_DIR}/consumer.c ${flags} -o ${pc_exe})
  run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${pc_exe})
  check_needs_shared(${pc_exe} YES)
else()
  set(flags -I${prefix}/include -L${libdir} -lzrfs -pthread)
endif()

# The example program as installed builds against the installed package
# alone and starts (without arguments it prints its usage and fails).
set(example_exe ${WORK_DIR}/record_and_play)
run(${C_COMPILER} -std=c99 -Wall -Wextra -Werror -pedantic ${prefix}/${DOCDIR}/examples/record_and_play.c
    ${flags} -o ${example_exe})
check_needs_shared(${example_exe} YES)
execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${example_exe}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc EQUAL 0 OR NOT out MATCHES "usage")
  message(FATAL_ERROR "installed example without arguments: status ${rc}, printed: ${out}")
endif()

message(STATUS "installed into ${prefix}; find_package, pkg-config (when there) and example "
               "consumers run")
file(REMOVE_RECURSE ${WORK_DIR})
