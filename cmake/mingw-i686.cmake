# The 32-bit Windows DLL: PYXRemote.dll for 32-bit hosts.
set(PYX_MINGW_TARGET i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
