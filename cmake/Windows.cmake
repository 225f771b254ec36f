# The Windows build (cross-compiled with cmake/mingw-w64-x86_64.cmake). The libraries
# come from CORVALE_WINDOWS_DEPS (scripts/windows-deps.sh); the tools that run at build
# and test time (station simulator, skin generator) are Linux programs taken from a
# Linux build folder, CORVALE_HOST_BIN.
set(CORVALE_WINDOWS_DEPS "" CACHE PATH "Prefix of the Windows libraries (scripts/windows-deps.sh)")
set(CORVALE_HOST_BIN "" CACHE PATH "bin/ folder of a Linux build with station-sim and skin-gen")
if(NOT EXISTS "${CORVALE_WINDOWS_DEPS}/lib/pkgconfig")
  message(FATAL_ERROR "CORVALE_WINDOWS_DEPS must name the prefix that scripts/windows-deps.sh built")
endif()

# pkg-config answers from the prefix alone, never from the Linux system.
set(ENV{PKG_CONFIG_LIBDIR} "${CORVALE_WINDOWS_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
list(PREPEND CMAKE_FIND_ROOT_PATH "${CORVALE_WINDOWS_DEPS}")
list(PREPEND CMAKE_PREFIX_PATH "${CORVALE_WINDOWS_DEPS}")

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswresample)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(EXPAT REQUIRED IMPORTED_TARGET expat)

# The DLLs the program ships: FFmpeg's and curl's (with zlib) beside the audio library in
# the data folder, where LoadLibrary finds them next to bass.dll; curl's also beside the
# executables that link it.
file(GLOB CORVALE_DEP_DLLS "${CORVALE_WINDOWS_DEPS}/bin/*.dll")
file(COPY ${CORVALE_DEP_DLLS} DESTINATION ${CORVALE_DATA_DIR})
file(GLOB CORVALE_CURL_DLLS "${CORVALE_WINDOWS_DEPS}/bin/libcurl*.dll" "${CORVALE_WINDOWS_DEPS}/bin/zlib1.dll")
file(COPY ${CORVALE_CURL_DLLS} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})

add_library(corvale STATIC)
target_include_directories(corvale PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(corvale PUBLIC CORVALE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_libraries(corvale PUBLIC PkgConfig::CURL PkgConfig::EXPAT Threads::Threads)

add_subdirectory(src)
add_subdirectory(audiolib)

if(CORVALE_TESTS)
  enable_testing()
  set(GTEST_ROOT "${CORVALE_WINDOWS_DEPS}")
  find_package(GTest REQUIRED)
  add_subdirectory(tests)
endif()
