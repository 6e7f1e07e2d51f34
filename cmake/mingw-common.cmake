# Shared part of both cross toolchains.
#
# The posix-thread compiler variants are used for everything: GoogleTest needs
# std::mutex, which the win32-thread variants lack. Every binary is linked
# -static so that none of them needs libgcc, libstdc++ or libwinpthread DLLs.
set(CMAKE_C_COMPILER ${KESTROV_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTROV_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTROV_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KESTROV_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tests and helper programs run under Wine; the launcher picks the loader
# for 32-bit or 64-bit images by itself.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
