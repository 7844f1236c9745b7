# Big-endian 32-bit PowerPC, the player's real processor, built with Debian's
# g++-powerpc-linux-gnu and run under qemu-user so that ctest runs every test
# on a big-endian CPU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(KESTREL_PPC_TRIPLE powerpc-linux-gnu)
set(KESTREL_PPC_SYSROOT /usr/${KESTREL_PPC_TRIPLE})

set(CMAKE_C_COMPILER ${KESTREL_PPC_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KESTREL_PPC_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH ${KESTREL_PPC_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# 64-bit atomics are library calls on a 32-bit PowerPC; linked after
# everything else on every C++ link line.
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-latomic")

# qemu-ppc finds the target's dynamic loader and libraries through -L.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L ${KESTREL_PPC_SYSROOT})

# Read by tests/target: a build that claims to be this target but produces
# little-endian code must fail its tests.
set(KESTREL_EXPECT_BIG_ENDIAN 1)
