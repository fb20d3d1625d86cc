# Cross-compiling for x64 Windows with Debian's mingw-w64 (the posix-thread
# flavour of the compiler; the driver uses none of its runtime).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TALVOR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER ${TALVOR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_FIND_ROOT_PATH /usr/${TALVOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
find_program(TALVOR_MINGW_DLLTOOL ${TALVOR_MINGW_TRIPLE}-dlltool REQUIRED)
