# The release toolchain: zig's C and C++ compilers (the ziglang package from
# PyPI, which scripts/setup.sh puts into .venv), which target a C library
# version directly and bring their own libc++, libc++abi and unwinder, linked
# in statically. A module built for x86_64-linux-gnu.2.28 or
# aarch64-linux-gnu.2.28 needs nothing newer of the C library than glibc 2.28
# and no C++ runtime of the system at all: it loads on RHEL 8, Ubuntu 20.04
# and everything newer, on either architecture, from one build machine.
#
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig.cmake -DZORF_ZIG_TARGET=aarch64-linux-gnu.2.28
#
# Zig keeps the runtimes it compiles in ZIG_GLOBAL_CACHE_DIR (the environment's).
# It searches none of this machine's header folders: the Python headers must be
# the target's own (Python_INCLUDE_DIRS with ZORF_PYTHON_SOABI).

# A default rather than a required setting: try_compile projects read this
# file again without the cache of the project that started them.
set(ZORF_ZIG_TARGET "x86_64-linux-gnu.2.28" CACHE STRING "zig's target: ARCH-linux-gnu.GLIBC_VERSION")
set(ZORF_ZIG "${CMAKE_CURRENT_LIST_DIR}/../.venv/lib/python3.14/site-packages/ziglang/zig"
    CACHE FILEPATH "The zig executable")
if(NOT EXISTS "${ZORF_ZIG}")
  message(FATAL_ERROR "no zig at ${ZORF_ZIG}: run `bash scripts/setup.sh release`, or name one in ZORF_ZIG")
endif()

string(REGEX MATCH "^[^-]+" zorf_zig_arch "${ZORF_ZIG_TARGET}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${zorf_zig_arch})
# A list: the compiler, then the arguments it always takes.
set(CMAKE_C_COMPILER "${ZORF_ZIG}" cc -target ${ZORF_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${ZORF_ZIG}" c++ -target ${ZORF_ZIG_TARGET})
set(CMAKE_ASM_COMPILER "${ZORF_ZIG}" cc -target ${ZORF_ZIG_TARGET})

# Nothing is looked up in this machine's folders.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Zig's runtimes carry their debugging information, megabytes of it: the
# release modules are linked without any (and need no strip program that knows
# the target).
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-s")
