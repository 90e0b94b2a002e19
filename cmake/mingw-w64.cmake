# Shared part of the mingw-w64 toolchain files: Debian's cross compilers with POSIX threads
# (std::thread and std::mutex need them; winpthread is linked statically below), the target's
# own libraries only, and wine to run what the build produces (tests, build-time generators).
# The including file sets QVFW_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QVFW_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QVFW_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QVFW_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QVFW_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# libstdc++, libgcc and winpthread linked in, so that an .exe runs without DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Windows 7 and later: what the device interfaces and notifications used here need. GCC 12's
# -Wrestrict reports overlapping copies inside libstdc++'s own std::string concatenation at -O2 and
# above (a known false report of this compiler, not of our code), so it is off here.
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -Wno-restrict")
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0601")
find_program(QVFW_WINE NAMES wine wine-stable)
if(QVFW_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QVFW_WINE})
endif()
