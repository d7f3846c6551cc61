# Cross build for 64-bit Arm Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu), which brings its own C and C++ runtime in
# /usr/aarch64-linux-gnu. What it lacks (BLAKE3, GoogleTest, the Python
# headers) comes from Debian's arm64 packages unpacked, not installed, into
# ZORF_AARCH64_SYSROOT: `scripts/setup.sh arm64` fills that folder.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# The packages keep their libraries and CMake files in Debian's multiarch
# folders; CMake cannot infer the name from the cross compiler's own paths.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# A default rather than a required setting: try_compile projects read this
# file again without the cache of the project that started them.
set(ZORF_AARCH64_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/aarch64/sysroot"
    CACHE PATH "Folder holding Debian's arm64 packages, unpacked")
set(CMAKE_FIND_ROOT_PATH "${ZORF_AARCH64_SYSROOT}" /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under user-mode QEMU, against the same runtime they were linked
# with; paths missing under that prefix (the build tree, the sysroot) are
# looked up on the host as they are.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
