# Cross-compiles the Windows program with Debian's mingw-w64 compiler against the static
# libraries scripts/windows-toolchain built (VELMORA_WINDOWS_TOOLCHAIN, from the command
# line or the environment). The result is one executable that needs only Windows' own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The posix thread model: std::thread and std::mutex need it.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT VELMORA_WINDOWS_TOOLCHAIN)
    set(VELMORA_WINDOWS_TOOLCHAIN "$ENV{VELMORA_WINDOWS_TOOLCHAIN}")
endif()
if(NOT IS_DIRECTORY "${VELMORA_WINDOWS_TOOLCHAIN}/prefix")
    message(FATAL_ERROR "no Windows toolchain in \"${VELMORA_WINDOWS_TOOLCHAIN}\": run scripts/windows-toolchain")
endif()
# Compiler checks run in projects of their own, which see only the variables named here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELMORA_WINDOWS_TOOLCHAIN)

set(CMAKE_FIND_ROOT_PATH ${VELMORA_WINDOWS_TOOLCHAIN}/prefix ${VELMORA_WINDOWS_TOOLCHAIN}/prefix/qt5
    /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# FFmpeg's .pc files of the Windows libraries, with what static linking needs besides
# (x264, the Windows socket and crypto libraries).
set(ENV{PKG_CONFIG_LIBDIR} ${VELMORA_WINDOWS_TOOLCHAIN}/prefix/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(PKG_CONFIG_ARGN --static)

# The C and C++ runtimes and winpthreads go into the executable too.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
