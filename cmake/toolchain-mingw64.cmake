# The same programs as 64-bit Windows programs. Nothing ships like this: it lets
# the test suites run under Wine on a host whose kernel runs no 32-bit code
# (Debian's Wine needs a 32-bit Linux loader for 32-bit .exe files).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_velmora_mingw_triple x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
