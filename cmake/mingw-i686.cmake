# 32-bit Windows: the shipped tool.
set(FWU_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
