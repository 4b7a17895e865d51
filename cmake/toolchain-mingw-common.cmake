# Cross-compiling for Windows with the MinGW-w64 posix-thread compilers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${LX_TRIPLET})
set(CMAKE_C_COMPILER   ${LX_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LX_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${LX_TRIPLET}-windres)
set(CMAKE_MC_COMPILER  ${LX_TRIPLET}-windmc)
set(LX_WIDL            ${LX_TRIPLET}-widl)
set(CMAKE_FIND_ROOT_PATH /usr/${LX_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Static runtime: the binaries need only system DLLs (and our own).
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Tests and tools run under Wine through our wrapper (own prefix, time limit).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
