# Cross-compiling the Windows build with Debian's MinGW-w64 (posix threads, so that
# std::thread and std::mutex work) for 64-bit Windows Vista and later.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Vista is the oldest system the program runs on; Unicode entry points throughout.
add_compile_definitions(_WIN32_WINNT=0x0600 WINVER=0x0600 UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
# The GCC runtime and the C++ library go into each binary, so nothing but Windows' own
# DLLs and the shipped ones is imported; winpthread likewise.
set(_corvale_static_runtime "-static-libgcc -static-libstdc++ -Wl,-Bstatic,--whole-archive -lwinpthread -Wl,--no-whole-archive,-Bdynamic")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_corvale_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_corvale_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_corvale_static_runtime}")
