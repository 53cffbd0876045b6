# Third-party code comes from installed packages, never from the repository.
#   vk_xxhash  header-only XXH3 (libxxhash-dev), inlined
#   vk_blake3  BLAKE3 C sources shipped by librust-blake3-dev, with SIMD and runtime dispatch
#   vk_lz4     liblz4 natively; for MinGW lz4.c from Debian's lz4 source package
#   GoogleTest from /usr/src/googletest (native tests only)

if(NOT EXISTS /usr/include/xxhash.h)
  message(FATAL_ERROR "xxhash.h not found: run tools/bootstrap.sh")
endif()
# The header alone is exposed, also to the MinGW build, which does not search /usr/include.
set(xxhash_include ${CMAKE_BINARY_DIR}/xxhash_include)
file(COPY /usr/include/xxhash.h DESTINATION ${xxhash_include})
add_library(vk_xxhash INTERFACE)
target_include_directories(vk_xxhash SYSTEM INTERFACE ${xxhash_include})
target_compile_definitions(vk_xxhash INTERFACE XXH_INLINE_ALL)

set(BLAKE3_DIR /usr/share/cargo/registry/blake3-1.3.1/c CACHE PATH "BLAKE3 C sources")
if(NOT EXISTS ${BLAKE3_DIR}/blake3.c)
  message(FATAL_ERROR "BLAKE3 C sources not found in ${BLAKE3_DIR}: run tools/bootstrap.sh")
endif()
enable_language(ASM)
if(WIN32)
  set(blake3_asm_flavour x86-64_windows_gnu)
else()
  set(blake3_asm_flavour x86-64_unix)
endif()
add_library(vk_blake3 STATIC
  ${BLAKE3_DIR}/blake3.c
  ${BLAKE3_DIR}/blake3_dispatch.c
  ${BLAKE3_DIR}/blake3_portable.c
  ${BLAKE3_DIR}/blake3_sse2_${blake3_asm_flavour}.S
  ${BLAKE3_DIR}/blake3_sse41_${blake3_asm_flavour}.S
  ${BLAKE3_DIR}/blake3_avx2_${blake3_asm_flavour}.S
  ${BLAKE3_DIR}/blake3_avx512_${blake3_asm_flavour}.S)
target_include_directories(vk_blake3 SYSTEM PUBLIC ${BLAKE3_DIR})
set_target_properties(vk_blake3 PROPERTIES POSITION_INDEPENDENT_CODE ON)
# Third-party code is compiled without our warning flags.
target_compile_options(vk_blake3 PRIVATE -w)

if(WIN32)
  file(GLOB lz4_source_dirs ${CMAKE_SOURCE_DIR}/build/third_party/lz4-*/lib)
  list(LENGTH lz4_source_dirs lz4_dir_count)
  if(lz4_dir_count EQUAL 0)
    message(FATAL_ERROR "LZ4 source not found under build/third_party: run tools/bootstrap.sh")
  endif()
  list(GET lz4_source_dirs 0 LZ4_SOURCE_DIR)
  set(LZ4_SOURCE_DIR ${LZ4_SOURCE_DIR} CACHE PATH "LZ4 lib/ folder of the Debian source package")
  # Expose lz4.h alone: that folder also carries an old xxhash.h without XXH3.
  set(lz4_include ${CMAKE_BINARY_DIR}/lz4_include)
  file(COPY ${LZ4_SOURCE_DIR}/lz4.h DESTINATION ${lz4_include})
  add_library(vk_lz4 STATIC ${LZ4_SOURCE_DIR}/lz4.c)
  target_include_directories(vk_lz4 SYSTEM PUBLIC ${lz4_include})
  target_compile_options(vk_lz4 PRIVATE -w)
else()
  find_library(LZ4_LIBRARY lz4 REQUIRED)
  add_library(vk_lz4 INTERFACE)
  target_link_libraries(vk_lz4 INTERFACE ${LZ4_LIBRARY})
endif()

# GoogleTest is built in both trees: natively for the unit tests, and with MinGW
# for the tests of the Win32 adapter that run under Wine.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
if(VARDOKEEP_NATIVE)
  include(GoogleTest)
endif()
