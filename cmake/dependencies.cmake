# Dependencies: libssh2 1.11.1 with our patches (a static build that
# scripts/deps.sh makes in the cache and links as .deps/libssh2), jsmn (header
# only), threads.

set(TW_LIBSSH2_ROOT "${PROJECT_SOURCE_DIR}/.deps/libssh2" CACHE PATH
    "Prefix of a private static libssh2 build")
set(TW_LIBSSH2_MIN_VERSION 1.11.1)

function(tw_libssh2_version header out)
  file(STRINGS "${header}" line REGEX "^#define LIBSSH2_VERSION +\"")
  string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" version "${line}")
  set(${out} "${version}" PARENT_SCOPE)
endfunction()

if(WIN32)
  # The Windows DLL (scripts/windows.sh): libssh2 and OpenSSL's libcrypto,
  # both cross-built statically into the cache and linked as .deps/*-win64,
  # and the Win32 system libraries they call. The mingw win32 thread model
  # needs no thread library: the platform layer uses Win32 locks.
  set(TW_WIN_LIBSSH2_ROOT "${PROJECT_SOURCE_DIR}/.deps/libssh2-win64" CACHE PATH
      "Prefix of the static libssh2 cross-built for Windows")
  set(TW_WIN_OPENSSL_ROOT "${PROJECT_SOURCE_DIR}/.deps/openssl-win64" CACHE PATH
      "Prefix of the static OpenSSL libcrypto cross-built for Windows")
  foreach(lib "${TW_WIN_LIBSSH2_ROOT}/lib/libssh2.a" "${TW_WIN_OPENSSL_ROOT}/lib/libcrypto.a")
    if(NOT EXISTS "${lib}")
      message(FATAL_ERROR "${lib} is missing: run scripts/windows.sh")
    endif()
  endforeach()
  tw_libssh2_version("${TW_WIN_LIBSSH2_ROOT}/include/libssh2.h" TW_LIBSSH2_VERSION)
  if(TW_LIBSSH2_VERSION VERSION_LESS TW_LIBSSH2_MIN_VERSION)
    message(FATAL_ERROR "libssh2 ${TW_LIBSSH2_VERSION} in ${TW_WIN_LIBSSH2_ROOT}; "
                        "${TW_LIBSSH2_MIN_VERSION} or newer is needed: run scripts/windows.sh")
  endif()
  file(STRINGS "${TW_WIN_LIBSSH2_ROOT}/share/tarnwick/patches" patches)
  message(STATUS "Building against libssh2 ${TW_LIBSSH2_VERSION} for Windows "
                 "(${TW_WIN_LIBSSH2_ROOT}, with patches: ${patches})")
  add_library(tw::libssh2 INTERFACE IMPORTED)
  # OpenSSL's headers too: the session starts the crypto library itself.
  target_include_directories(tw::libssh2 INTERFACE "${TW_WIN_LIBSSH2_ROOT}/include"
                             "${TW_WIN_OPENSSL_ROOT}/include")
  target_link_libraries(tw::libssh2 INTERFACE
    "${TW_WIN_LIBSSH2_ROOT}/lib/libssh2.a" "${TW_WIN_OPENSSL_ROOT}/lib/libcrypto.a"
    ws2_32 crypt32 bcrypt gdi32 user32 advapi32)
  add_library(Threads::Threads INTERFACE IMPORTED)

  # jsmn is one header from the build machine's libjsmn-dev. Only that header
  # is copied for the cross compiler, which must never see /usr/include.
  find_file(TW_JSMN_HEADER jsmn.h PATHS /usr/include NO_DEFAULT_PATH
            NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  file(COPY "${TW_JSMN_HEADER}" DESTINATION "${CMAKE_BINARY_DIR}/jsmn")
  add_library(tw::jsmn INTERFACE IMPORTED)
  target_include_directories(tw::jsmn INTERFACE "${CMAKE_BINARY_DIR}/jsmn")
  return()
endif()

find_package(Threads REQUIRED)
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
