# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64),
# the POSIX thread model (std::thread and std::mutex work), everything linked
# statically so that the programs need no DLL beside them. Programs built here
# run under Wine (wine64): ctest starts them through the emulator below, in a
# Wine prefix of the build tree's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KV_MINGW x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KV_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KV_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${KV_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KV_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# GCC does not keep the stack 32-byte aligned on 64-bit Windows, so an aligned
# AVX move of a spilled vector could fault (GCC bug 54412); the assembler turns
# every aligned vector move into an unaligned one, which costs nothing there.
set(CMAKE_C_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")

# The programs need neither .NET nor a web browser engine: with those two left
# out, making the prefix asks to install neither (no dialog on a desktop).
find_program(KV_WINE NAMES wine wine64 wine-stable)
if(KV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all
                                    WINEDLLOVERRIDES=mscoree,mshtml= ${KV_WINE})
endif()

# -O2 rather than -O3: GCC 12's -O3 inlining of std::string reports false
# -Wrestrict overlaps (GCC bug 105329), which -Werror would turn into errors.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags for Release builds")
