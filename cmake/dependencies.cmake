# Dependencies: libssh2 1.11.1 with our patches (a static build that
# scripts/deps.sh makes in the cache and links as .deps/libssh2), jsmn (header
# only), threads.

find_package(Threads REQUIRED)

set(TW_LIBSSH2_ROOT "${PROJECT_SOURCE_DIR}/.deps/libssh2" CACHE PATH
    "Prefix of a private static libssh2 build")
set(TW_LIBSSH2_MIN_VERSION 1.11.1)

function(tw_libssh2_version header out)
  file(STRINGS "${header}" line REGEX "^#define LIBSSH2_VERSION +\"")
  string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" version "${line}")
  set(${out} "${version}" PARENT_SCOPE)
endfunction()

add_library(tw::libssh2 INTERFACE IMPORTED)
if(EXISTS "${TW_LIBSSH2_ROOT}/lib/libssh2.a")
  find_package(OpenSSL REQUIRED)
  find_package(ZLIB REQUIRED)
  tw_libssh2_version("${TW_LIBSSH2_ROOT}/include/libssh2.h" TW_LIBSSH2_VERSION)
  target_include_directories(tw::libssh2 INTERFACE "${TW_LIBSSH2_ROOT}/include")
  target_link_libraries(tw::libssh2 INTERFACE
    "${TW_LIBSSH2_ROOT}/lib/libssh2.a" OpenSSL::Crypto ZLIB::ZLIB)
  set(TW_LIBSSH2_FROM "static build in ${TW_LIBSSH2_ROOT}")
  # scripts/deps.sh records the patches of ours that the build carries.
  set(patch_list "${TW_LIBSSH2_ROOT}/share/tarnwick/patches")
  if(EXISTS "${patch_list}")
    file(STRINGS "${patch_list}" patches)
    list(JOIN patches ", " patches)
    if(patches STREQUAL "")
      set(patches "none")
    endif()
    string(APPEND TW_LIBSSH2_FROM ", with patches: ${patches}")
  endif()
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBSSH2 REQUIRED IMPORTED_TARGET libssh2)
  set(TW_LIBSSH2_VERSION "${LIBSSH2_VERSION}")
  target_link_libraries(tw::libssh2 INTERFACE PkgConfig::LIBSSH2)
  set(TW_LIBSSH2_FROM "system")
endif()
if(TW_LIBSSH2_VERSION VERSION_LESS TW_LIBSSH2_MIN_VERSION)
  message(FATAL_ERROR "libssh2 ${TW_LIBSSH2_VERSION} found (${TW_LIBSSH2_FROM}); "
                      "${TW_LIBSSH2_MIN_VERSION} or newer is needed: run scripts/deps.sh")
endif()
message(STATUS "Building against libssh2 ${TW_LIBSSH2_VERSION} (${TW_LIBSSH2_FROM})")

find_path(TW_JSMN_INCLUDE jsmn.h REQUIRED)
add_library(tw::jsmn INTERFACE IMPORTED)
target_include_directories(tw::jsmn INTERFACE "${TW_JSMN_INCLUDE}")
