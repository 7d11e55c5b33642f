# Cross-compiling for 32-bit ARM Linux, hard-float (armhf), with Debian's cross
# toolchain (g++-arm-linux-gnueabihf). Programs built for the target run on the
# build machine under qemu's user-mode emulation, which finds the target's
# shared libraries under the toolchain's root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(OSTREL_TARGET_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${OSTREL_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${OSTREL_TARGET_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${OSTREL_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(OSTREL_QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(OSTREL_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OSTREL_QEMU_ARM} -L /usr/${OSTREL_TARGET_TRIPLET})
endif()

# GCC's notes that the argument-passing ABI of some types changed in GCC 7.1
# concern mixing objects from before then; everything here is built anew.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
