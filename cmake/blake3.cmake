# BLAKE3 compiled into the project from its C sources, for builds that must
# not depend on the system's libblake3: the release wheels, and machines
# without the package. ZORF_BLAKE3_SOURCE_DIR names the folder that holds
# blake3.c and blake3.h (a BLAKE3 checkout's c/ folder, or the checkout
# itself). The target has the name the system package's CMake files give it.
#
# These are the files BLAKE3's own build compiles for Linux: the portable
# code, the dispatcher that picks the widest SIMD set the processor has at run
# time, and the SIMD kernels of the target architecture.
if(EXISTS "${ZORF_BLAKE3_SOURCE_DIR}/c/blake3.c")
  set(zorf_blake3_dir "${ZORF_BLAKE3_SOURCE_DIR}/c")
else()
  set(zorf_blake3_dir "${ZORF_BLAKE3_SOURCE_DIR}")
endif()
if(NOT EXISTS "${zorf_blake3_dir}/blake3.c" OR NOT EXISTS "${zorf_blake3_dir}/blake3.h")
  message(FATAL_ERROR "ZORF_BLAKE3_SOURCE_DIR: no blake3.c and blake3.h in ${ZORF_BLAKE3_SOURCE_DIR} or its c/ folder")
endif()

enable_language(C)
add_library(zorf_blake3 STATIC
  ${zorf_blake3_dir}/blake3.c
  ${zorf_blake3_dir}/blake3_dispatch.c
  ${zorf_blake3_dir}/blake3_portable.c)
set_target_properties(zorf_blake3 PROPERTIES C_VISIBILITY_PRESET hidden POSITION_INDEPENDENT_CODE ON)
target_include_directories(zorf_blake3 SYSTEM PUBLIC ${zorf_blake3_dir})

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  enable_language(ASM)
  target_sources(zorf_blake3 PRIVATE
    ${zorf_blake3_dir}/blake3_sse2_x86-64_unix.S
    ${zorf_blake3_dir}/blake3_sse41_x86-64_unix.S
    ${zorf_blake3_dir}/blake3_avx2_x86-64_unix.S
    ${zorf_blake3_dir}/blake3_avx512_x86-64_unix.S)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  # Every 64-bit Arm processor has NEON.
  target_sources(zorf_blake3 PRIVATE ${zorf_blake3_dir}/blake3_neon.c)
  target_compile_definitions(zorf_blake3 PRIVATE BLAKE3_USE_NEON=1)
else()
  target_compile_definitions(zorf_blake3 PRIVATE BLAKE3_NO_SSE2 BLAKE3_NO_SSE41 BLAKE3_NO_AVX2 BLAKE3_NO_AVX512)
endif()
add_library(BLAKE3::blake3 ALIAS zorf_blake3)
