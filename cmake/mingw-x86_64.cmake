# 64-bit Windows: the same tool, for running the tests where 32-bit programs cannot run.
set(FWU_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
