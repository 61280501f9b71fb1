# The libraries of the zrfs tool: CLI11 (arguments), fmt (formatting) and
# nlohmann-json (JSON output).  The library itself needs none of them.
#
# Native builds use the system's packages, fmt as its shared library: the
# header-only form compiles all of fmt into every file that formats, which
# made the tool the slowest part of the build.
#
# Cross builds use the same packages header-only.  Their headers do not
# depend on the architecture, but they are installed for the build machine
# (ZRFS_HOST_HEADER_DIR, /usr/include), outside the target tree the
# toolchain searches.  Each package's folder is linked alone into the build
# tree and only that is put on the include path, so none of the build
# machine's other headers, and none of its libraries, come into sight.
#
# Sets ZRFS_TOOL_DEPS_MISSING (the packages the tool lacks, empty when all
# are there), ZRFS_CHECK_DEPS_FOUND (fmt and nlohmann-json, what the disk
# checker needs) and ZRFS_FMT_TARGET (the fmt target to link).
set(ZRFS_TOOL_DEPS_MISSING "")
set(ZRFS_CHECK_DEPS_FOUND OFF)
if(NOT ZRFS_BUILD_TOOL AND NOT ZRFS_FUZZ)
  return()
endif()

if(NOT CMAKE_CROSSCOMPILING)
  # GLOBAL: the tests (tests/) link nlohmann-json as well.
  find_package(CLI11 CONFIG QUIET GLOBAL)
  find_package(fmt CONFIG QUIET GLOBAL)
  find_package(nlohmann_json CONFIG QUIET GLOBAL)
  set(ZRFS_FMT_TARGET fmt::fmt)
else()
  set(ZRFS_HOST_HEADER_DIR /usr/include
      CACHE PATH "Where the build machine keeps the header-only packages the tool uses")

  # Makes the imported target `target` for `package` when `header` (a path
  # below the package's own folder, as in CLI/CLI.hpp) is found.
  function(zrfs_host_header_package package target header)
    if(CMAKE_DISABLE_FIND_PACKAGE_${package})
      return()
    endif()
    find_path(ZRFS_${package}_HOST_DIR ${header} PATHS ${ZRFS_HOST_HEADER_DIR}
              NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    if(NOT ZRFS_${package}_HOST_DIR)
      return()
    endif()
    string(REGEX REPLACE "/.*" "" folder "${header}")
    set(dir ${PROJECT_BINARY_DIR}/host-headers/${package})
    file(MAKE_DIRECTORY ${dir})
    file(CREATE_LINK ${ZRFS_${package}_HOST_DIR}/${folder} ${dir}/${folder} SYMBOLIC)
    add_library(${target} INTERFACE IMPORTED GLOBAL)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${dir})
    set(${package}_FOUND TRUE PARENT_SCOPE)
  endfunction()

  zrfs_host_header_package(CLI11 CLI11::CLI11 CLI/CLI.hpp)
  zrfs_host_header_package(fmt fmt::fmt-header-only fmt/format.h)
  zrfs_host_header_package(nlohmann_json nlohmann_json::nlohmann_json nlohmann/json.hpp)
  if(fmt_FOUND)
    set_target_properties(fmt::fmt-header-only PROPERTIES INTERFACE_COMPILE_DEFINITIONS
                                                          FMT_HEADER_ONLY=1)
  endif()
  set(ZRFS_FMT_TARGET fmt::fmt-header-only)
endif()

foreach(package CLI11 fmt nlohmann_json)
  if(NOT ${package}_FOUND)
    list(APPEND ZRFS_TOOL_DEPS_MISSING ${package})
  endif()
endforeach()
if(fmt_FOUND AND nlohmann_json_FOUND)
  set(ZRFS_CHECK_DEPS_FOUND ON)
endif()
