# Cross build of the Windows DLL with mingw-w64, for the target that the
# including toolchain file names in PYX_MINGW_TARGET (i686 or x86_64). The
# posix thread model's compilers are used because GoogleTest needs
# std::thread; the module itself calls the Win32 thread services directly.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${PYX_MINGW_TARGET})

set(CMAKE_C_COMPILER ${PYX_MINGW_TARGET}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${PYX_MINGW_TARGET}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${PYX_MINGW_TARGET}-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PYX_MINGW_TARGET}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tests run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
