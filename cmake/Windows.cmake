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
pkg_check_modules(SQLITE REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(EBUR128 REQUIRED IMPORTED_TARGET libebur128)

# The DLLs the program ships: FFmpeg's and curl's (with zlib) beside the audio library in
# the data folder, where LoadLibrary finds them next to bass.dll; curl's also beside the
# executables that link it.
# FFmpeg's utilities and curl use the toolchain's POSIX threads DLL, shipped with them.
find_file(CORVALE_WINPTHREAD_DLL libwinpthread-1.dll PATHS /usr/${TOOLCHAIN_PREFIX}/lib NO_CMAKE_FIND_ROOT_PATH
  NO_DEFAULT_PATH REQUIRED)
file(GLOB CORVALE_DEP_DLLS "${CORVALE_WINDOWS_DEPS}/bin/*.dll")
file(COPY ${CORVALE_DEP_DLLS} ${CORVALE_WINPTHREAD_DLL} DESTINATION ${CORVALE_DATA_DIR})
file(GLOB CORVALE_CURL_DLLS "${CORVALE_WINDOWS_DEPS}/bin/libcurl*.dll" "${CORVALE_WINDOWS_DEPS}/bin/zlib1.dll")
file(COPY ${CORVALE_CURL_DLLS} ${CORVALE_WINPTHREAD_DLL} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})

# The player's executable needs the whole Win32 runtime; without it the build has the
# layers below the windows and their tests.
option(CORVALE_WINDOWS_PLAYER "Build the player's executable and its windows" ON)

add_library(corvale STATIC)
target_include_directories(corvale PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(corvale PUBLIC CORVALE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_libraries(corvale PUBLIC PkgConfig::CURL PkgConfig::EXPAT PkgConfig::SQLITE PkgConfig::EBUR128
  Threads::Threads)

add_subdirectory(src)
add_subdirectory(audiolib)
add_subdirectory(tools/skin-gen)
add_subdirectory(data)

# The player itself and its installer.
if(TARGET corvale-player)
  set(CORVALE_ICON ${CMAKE_BINARY_DIR}/corvale-player.ico)
  set(CORVALE_MANIFEST ${CMAKE_SOURCE_DIR}/packaging/windows/corvale-player.manifest)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/corvale-player.rc.in ${CMAKE_BINARY_DIR}/corvale-player.rc @ONLY)
  target_sources(corvale-player PRIVATE ${CMAKE_BINARY_DIR}/corvale-player.rc)
  set_target_properties(corvale-player PROPERTIES WIN32_EXECUTABLE ON)
  add_dependencies(corvale-player windows_icon audiolib_bass audiolib_bass_aac audiolib_bassopus)
  # The installer (target "installer"): NSIS, per user, build-windows/corvale-player-<version>-setup.exe.
  find_program(MAKENSIS makensis)
  set(setup ${CMAKE_BINARY_DIR}/corvale-player-${PROJECT_VERSION}-setup.exe)
  add_custom_command(OUTPUT ${setup}
    COMMAND ${MAKENSIS} -V2 -DBIN=${CMAKE_RUNTIME_OUTPUT_DIRECTORY} -DICON=${CORVALE_ICON} -DOUT=${setup}
      -DVERSION=${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR} ${CMAKE_SOURCE_DIR}/packaging/windows/installer.nsi
    DEPENDS corvale-player program_data skin_images ${CMAKE_SOURCE_DIR}/packaging/windows/installer.nsi
    COMMENT "Building the installer")
  add_custom_target(installer DEPENDS ${setup})
endif()

if(CORVALE_TESTS)
  enable_testing()
  set(GTEST_ROOT "${CORVALE_WINDOWS_DEPS}")
  find_package(GTest REQUIRED)
  add_subdirectory(tests)
endif()
