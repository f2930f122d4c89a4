# What `cmake --install` puts in place for hosts: the DLL with its PDB (where the build makes one),
# its import library, the public header and a CMake package, so that a host's project finds the
# library with find_package(varnokclient) and links varnokclient::varnokclient. The driver
# simulator, the tests and the tools stay out.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VARNOK_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/varnokclient)

# Hosts include <varnokclient.h> from the installed include folder; the build's own targets get
# the header through their sources' include paths.
target_include_directories(varnokclient INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS varnokclient EXPORT varnokclient-targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
)
install(FILES ${PROJECT_SOURCE_DIR}/include/varnokclient.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(VARNOK_PDB)
  # The symbols beside the DLL, where Windows libraries keep them and debuggers look first.
  install(FILES $<TARGET_FILE_DIR:varnokclient>/varnokclient.pdb DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(EXPORT varnokclient-targets NAMESPACE varnokclient:: DESTINATION ${VARNOK_PACKAGE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/varnokclient-config.cmake.in
  ${PROJECT_BINARY_DIR}/varnokclient-config.cmake
  INSTALL_DESTINATION ${VARNOK_PACKAGE_DIR}
)
# A host of another major version, or a 32-bit host, does not take this package.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/varnokclient-config-version.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion
)
install(FILES ${PROJECT_BINARY_DIR}/varnokclient-config.cmake ${PROJECT_BINARY_DIR}/varnokclient-config-version.cmake
  DESTINATION ${VARNOK_PACKAGE_DIR}
)
