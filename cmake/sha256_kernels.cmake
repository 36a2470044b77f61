# The SHA-256 kernels as a static library of their own, with no Python in it, so that the
# extensions link it and the native check and bench build without an interpreter.
# Included by the top-level CMakeLists.txt and by tests/native/CMakeLists.txt.
#
# KESTRIM_HAND_KERNELS=OFF compiles none of the hand-written kernels: every kernel name then
# maps onto OpenSSL, the build a CPU with no SHA-NI, AVX2 or AVX-512 support behaves like.
option(KESTRIM_HAND_KERNELS "build the hand-written SHA-256 kernels (SHA-NI, AVX2, AVX-512)" ON)

if(NOT TARGET OpenSSL::Crypto)
  find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
endif()

set(_kestrim_root ${CMAKE_CURRENT_LIST_DIR}/..)
# The house warnings: the top-level CMakeLists.txt sets them; the native check's build, which
# has no such file above it, takes the same list here (as errors with KESTRIM_WERROR=ON).
if(NOT DEFINED KESTRIM_WARNINGS)
  option(KESTRIM_WERROR "treat compiler warnings as errors" OFF)
  set(KESTRIM_WARNINGS -Wall -Wextra -Wpedantic -Wconversion -Wshadow)
  if(KESTRIM_WERROR)
    list(APPEND KESTRIM_WARNINGS -Werror)
  endif()
endif()
add_library(kestrim_sha256 STATIC EXCLUDE_FROM_ALL ${_kestrim_root}/kestrim_substrate/sha256_kernels.cpp
            ${_kestrim_root}/kestrim_substrate/sha256_openssl.cpp)
if(KESTRIM_HAND_KERNELS)
  # Each kernel function carries its own target attribute; no file gets -mavx2 and the like,
  # so nothing built from headers can pick up instructions the CPU may lack.
  target_sources(kestrim_sha256 PRIVATE
    ${_kestrim_root}/kestrim_substrate/sha256_shani.cpp
    ${_kestrim_root}/kestrim_substrate/sha256_multibuffer.cpp)
  target_compile_definitions(kestrim_sha256 PRIVATE KESTRIM_HAND_KERNELS=1)
endif()
set_target_properties(kestrim_sha256 PROPERTIES POSITION_INDEPENDENT_CODE ON)
# sha256_openssl.cpp, the one file that includes OpenSSL, uses SHA256_* unless this is on;
# then EVP, as against an OpenSSL without deprecated APIs (make test-scalar).
option(KESTRIM_OPENSSL_NO_DEPRECATED "build SHA-256 without OpenSSL's deprecated APIs" OFF)
if(KESTRIM_OPENSSL_NO_DEPRECATED)
  target_compile_definitions(kestrim_sha256 PRIVATE OPENSSL_API_COMPAT=30000 OPENSSL_NO_DEPRECATED)
endif()
target_compile_options(kestrim_sha256 PRIVATE ${KESTRIM_WARNINGS})
target_include_directories(kestrim_sha256 PUBLIC ${_kestrim_root})
target_link_libraries(kestrim_sha256 PUBLIC OpenSSL::Crypto)

# Every kernel this CPU supports against OpenSSL, and their speeds side by side.
add_executable(sha256_kernel_check EXCLUDE_FROM_ALL ${_kestrim_root}/tests/native/sha256_kernel_check.cpp)
add_executable(sha256_lanes EXCLUDE_FROM_ALL ${_kestrim_root}/bench/sha256_lanes.cpp)
foreach(_target kestrim_sha256 sha256_kernel_check sha256_lanes)
  if(KESTRIM_SANITIZE)
    target_compile_options(${_target} PRIVATE -fsanitize=${KESTRIM_SANITIZE} -fno-omit-frame-pointer
                                              -fno-sanitize-recover=all)
    target_link_options(${_target} PRIVATE -fsanitize=${KESTRIM_SANITIZE})
  endif()
endforeach()
find_package(Threads REQUIRED)
target_link_libraries(sha256_kernel_check PRIVATE Threads::Threads)
foreach(_target sha256_kernel_check sha256_lanes)
  target_compile_definitions(${_target} PRIVATE OPENSSL_API_COMPAT=30000 OPENSSL_NO_DEPRECATED)
  target_compile_options(${_target} PRIVATE ${KESTRIM_WARNINGS})
  target_link_libraries(${_target} PRIVATE kestrim_sha256)
endforeach()
