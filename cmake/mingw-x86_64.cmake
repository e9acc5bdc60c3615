# The 64-bit Windows DLL: PYXRemote.dll for 64-bit hosts.
set(PYX_MINGW_TARGET x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
