# libdeflate for the Windows cross build. Debian has no MinGW package of it, so its Debian
# source package, the version of the host's libdeflate-dev (the Linux build's), is fetched
# into the build tree with `apt-get source` when the build tree is configured, and built by
# its own Makefile with the MinGW compiler into a static library. The target is named as
# pkg_check_modules names the Linux one, so the archive layer links one name on both systems.
#
# Fetching needs a deb-src entry for Debian's archive (scripts/install-deps adds one).
include(ExternalProject)

function(zav_cross_libdeflate)
  execute_process(COMMAND dpkg-query -W "-f=\${source:Version}" libdeflate-dev
    OUTPUT_VARIABLE host_version RESULT_VARIABLE status ERROR_QUIET
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0 OR host_version STREQUAL "")
    set(host_version "")
  endif()
  set(ZAV_LIBDEFLATE_SOURCE_VERSION "${host_version}" CACHE STRING
    "Version of Debian's libdeflate source package the Windows build compiles (empty: the newest)")
  set(version ${ZAV_LIBDEFLATE_SOURCE_VERSION})
  set(request libdeflate)
  if(version)
    set(request libdeflate=${version})
  endif()

  # One folder per requested version: a changed version fetches anew, an unchanged one never
  # goes to the network again.
  string(MAKE_C_IDENTIFIER "${request}" tag)
  set(fetch_dir ${PROJECT_BINARY_DIR}/libdeflate/${tag})
  file(GLOB headers ${fetch_dir}/libdeflate-*/libdeflate.h)
  if(NOT headers)
    message(STATUS "Fetching Debian's source of ${request} into ${fetch_dir}")
    file(REMOVE_RECURSE ${fetch_dir})
    file(MAKE_DIRECTORY ${fetch_dir})
    execute_process(COMMAND apt-get source --only-source ${request}
      WORKING_DIRECTORY ${fetch_dir} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    file(GLOB headers ${fetch_dir}/libdeflate-*/libdeflate.h)
    if(NOT status EQUAL 0 OR NOT headers)
      file(REMOVE_RECURSE ${fetch_dir})
      message(FATAL_ERROR "Cannot fetch Debian's source of ${request} for the Windows build "
        "(apt-get source ended with ${status}). It needs a deb-src entry for Debian's archive, "
        "which scripts/install-deps adds; or configure with -DZAV_WITH_LIBDEFLATE=OFF to build "
        "with zlib alone.\n${out}")
    endif()
  endif()
  list(GET headers 0 header)
  get_filename_component(source_dir ${header} DIRECTORY)

  # Only the public header is exposed to the project.
  set(include_dir ${PROJECT_BINARY_DIR}/libdeflate/include)
  file(COPY ${header} DESTINATION ${include_dir})

  find_program(ZAV_MAKE_PROGRAM NAMES gmake make REQUIRED)
  cmake_host_system_information(RESULT jobs QUERY NUMBER_OF_LOGICAL_CORES)
  set(library ${source_dir}/libdeflatestatic.lib)
  # The Makefile picks its own optimisation (-O2) whatever this build's type. AR is given:
  # the Makefile cannot derive it from a compiler named ...-gcc-posix.
  ExternalProject_Add(libdeflate_mingw
    SOURCE_DIR ${source_dir}
    BUILD_IN_SOURCE TRUE
    CONFIGURE_COMMAND ""
    BUILD_COMMAND ${ZAV_MAKE_PROGRAM} -j${jobs} CC=${CMAKE_C_COMPILER} AR=${CMAKE_AR}
      libdeflatestatic.lib
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${library}
    LOG_BUILD TRUE LOG_OUTPUT_ON_FAILURE TRUE)

  add_library(PkgConfig::LIBDEFLATE STATIC IMPORTED GLOBAL)
  set_target_properties(PkgConfig::LIBDEFLATE PROPERTIES IMPORTED_LOCATION ${library}
    INTERFACE_INCLUDE_DIRECTORIES ${include_dir})
  add_dependencies(PkgConfig::LIBDEFLATE libdeflate_mingw)
endfunction()
