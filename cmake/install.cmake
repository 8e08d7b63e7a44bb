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

# Three components, which the Debian packages follow: runtime (the module and
# its SONAME link), dev (header, the unversioned link, CMake and pkg-config
# files) and tools (sftpc with its manual page).
install(TARGETS tarnwick EXPORT tarnwick_sftpTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
# An installed sftpc finds the module in the installed tree.
if(TARGET sftpc)
  set_target_properties(sftpc PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS sftpc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  if(EXISTS ${PROJECT_SOURCE_DIR}/tools/sftpc.1)
    install(FILES tools/sftpc.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endif()
endif()
install(FILES include/tarnwick_sftp.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

set(TW_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarnwick_sftp)
install(EXPORT tarnwick_sftpTargets NAMESPACE tarnwick_sftp::
        DESTINATION ${TW_CMAKE_PACKAGE_DIR} COMPONENT dev)
configure_package_config_file(cmake/tarnwick_sftpConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tarnwick_sftpConfig.cmake
  INSTALL_DESTINATION ${TW_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarnwick_sftpConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tarnwick_sftpConfig.cmake
              ${PROJECT_BINARY_DIR}/tarnwick_sftpConfigVersion.cmake
        DESTINATION ${TW_CMAKE_PACKAGE_DIR} COMPONENT dev)

# The pkg-config file finds its prefix from its own place, so an installed
# tree can be moved, or installed with --prefix, and still be found.
set(TW_PC_TO_PREFIX "../..")
string(REGEX MATCHALL "/" slashes "${CMAKE_INSTALL_LIBDIR}")
foreach(slash IN LISTS slashes)
  string(APPEND TW_PC_TO_PREFIX "/..")
endforeach()
configure_file(cmake/tarnwick_sftp.pc.in ${PROJECT_BINARY_DIR}/tarnwick_sftp.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarnwick_sftp.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The tarball holds the source tree less what building and testing leave
# behind: build trees, the .deps link, git's own files and Python's caches.
set(CPACK_PACKAGE_NAME tarnwick-libssh2-sftp-client-transfer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME tarnwick-libssh2-sftp-client-transfer-${PROJECT_VERSION})
# The patterns pass through CPack's own configuration file, so each regular
# expression backslash is written four times.
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git(/|$)" "/build[^/]*(/|$)" "/\\\\.deps(/|$)"
    "/dist(/|$)" "/__pycache__(/|$)" "\\\\.pyc$" "/\\\\.pytest_cache(/|$)"
    "\\\\.egg-info(/|$)")

# Debian packages (`cpack -G DEB` in a tree configured with the prefix /usr,
# which scripts/deb.sh does): one per component, named as Debian names a
# library's packages, with dependencies found by dpkg-shlibdeps (Debian's
# packages only: libssh2 is linked in) and a shlibs file for dependants.
set(CPACK_PACKAGE_CONTACT "tarnwick developers <tarnwick@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "One SSH file-transfer session (SFTP and SCP) through plain C functions")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# sftpc needs the module, which dpkg-shlibdeps finds in the build tree; the
# tools package names its dependency on the runtime package itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(TW_DEB_RUNTIME libtarnwick-libssh2-sftp-client-transfer${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${TW_DEB_RUNTIME})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtarnwick-libssh2-sftp-client-transfer-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${TW_DEB_RUNTIME} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME sftpc)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${TW_DEB_RUNTIME} (>= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "The shared module: connect by password, key or agent, browse and change the remote file system over SFTP, copy files over SFTP or SCP with progress and cancellation.")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "The public header, with the CMake package and the pkg-config file, for building programs that call the module.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "sftpc, a command-line SFTP and SCP client on the module, with its manual page.")
include(CPack)
