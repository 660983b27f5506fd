# Cross-building for 64-bit Windows from Debian with mingw-w64 (the POSIX-threads compilers, which
# std::thread and std::mutex need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
# Libraries for Windows come from the compiler's folder and from the prefixes given (Qt for Windows).
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs carry the compiler's runtime inside them, so that the tests run from the build folder
# and the command-line programs are single files. (Not for building Qt itself, whose DLLs share
# the runtime DLLs: ACTUALIZA_MINGW_SHARED, set by scripts/qt-windows.sh.)
if(NOT ACTUALIZA_MINGW_SHARED)
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
