# 64-bit Windows: the same sources, built to run the tests under wine64 on a
# machine whose kernel runs no 32-bit programs. CTest starts every cross-built
# test through scripts/wine-run.
set(VARO_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run)
