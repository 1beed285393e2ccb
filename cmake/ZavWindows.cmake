# Windows builds: the wide (UTF-16) APIs throughout, Windows 7 as the oldest system.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

# The stand-in service is POSIX-only: a cross build's tests reach the one built natively.
set(ZAV_BUILD_SERVICE OFF CACHE BOOL "" FORCE)

if(CMAKE_CROSSCOMPILING)
  # Tests and test discovery run under Wine, in a private prefix under the build folder.
  set(ZAV_WINE_PREFIX ${PROJECT_BINARY_DIR}/wineprefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run ${ZAV_WINE_PREFIX})
  # Wine shows the host's root folder as drive Z:.
  set(ZAV_WINE_HOST_DRIVE "Z:" CACHE STRING "The Windows drive under which Wine shows the host's /")
  set(ZAV_NATIVE_SERVICE ${PROJECT_SOURCE_DIR}/build/debug/service/zav-service CACHE FILEPATH
    "The natively built zav-service that the Windows tests talk to")
  set(ZAV_NATIVE_ZAVZIP ${PROJECT_SOURCE_DIR}/build/debug/tools/zavzip/zavzip CACHE FILEPATH
    "The natively built zavzip that zavzip.exe is compared with")
endif()

# zav_cross_googletest(): GoogleTest and GoogleMock for the target, built from Debian's
# sources, with the targets named as find_package(GTest) names them.
function(zav_cross_googletest)
  set(ZAV_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
  if(NOT EXISTS ${ZAV_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${ZAV_GOOGLETEST_SOURCE} "
      "(Debian package googletest)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${ZAV_GOOGLETEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(lib gtest gmock gtest_main gmock_main)
    if(NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
endfunction()
