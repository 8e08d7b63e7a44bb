# Installation and the source tarball. `cmake --install <tree>` puts the
# module, the public header and sftpc in the usual places, with a CMake
# package (find_package(tarnwick_sftp) gives the imported target
# tarnwick_sftp::tarnwick_sftp) and a pkg-config file (tarnwick_sftp), both
# carrying the project's version. `cmake --build <tree> --target
# package_source` packs the sources into a tarball.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

target_include_directories(tarnwick INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(tarnwick PROPERTIES EXPORT_NAME tarnwick_sftp)

install(TARGETS tarnwick EXPORT tarnwick_sftpTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# An installed sftpc finds the module in the installed tree.
if(TARGET sftpc)
  set_target_properties(sftpc PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS sftpc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES include/tarnwick_sftp.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(TW_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarnwick_sftp)
install(EXPORT tarnwick_sftpTargets NAMESPACE tarnwick_sftp::
        DESTINATION ${TW_CMAKE_PACKAGE_DIR})
configure_package_config_file(cmake/tarnwick_sftpConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tarnwick_sftpConfig.cmake
  INSTALL_DESTINATION ${TW_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarnwick_sftpConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tarnwick_sftpConfig.cmake
              ${PROJECT_BINARY_DIR}/tarnwick_sftpConfigVersion.cmake
        DESTINATION ${TW_CMAKE_PACKAGE_DIR})

# The pkg-config file finds its prefix from its own place, so an installed
# tree can be moved, or installed with --prefix, and still be found.
set(TW_PC_TO_PREFIX "../..")
string(REGEX MATCHALL "/" slashes "${CMAKE_INSTALL_LIBDIR}")
foreach(slash IN LISTS slashes)
  string(APPEND TW_PC_TO_PREFIX "/..")
endforeach()
configure_file(cmake/tarnwick_sftp.pc.in ${PROJECT_BINARY_DIR}/tarnwick_sftp.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarnwick_sftp.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The tarball holds the source tree less what building and testing leave
# behind: build trees, the .deps link, git's own files and Python's caches.
set(CPACK_PACKAGE_NAME tarnwick-libssh2-sftp-client-transfer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME tarnwick-libssh2-sftp-client-transfer-${PROJECT_VERSION})
set(CPACK_SOURCE_IGNORE_FILES "/\\.git(/|$)" "/build[^/]*(/|$)" "/\\.deps(/|$)"
    "/__pycache__(/|$)" "\\.pyc$" "/\\.pytest_cache(/|$)" "\\.egg-info(/|$)")
include(CPack)
