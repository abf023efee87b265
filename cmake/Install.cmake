# Install rules: headers, the library, the channel service, the foundation
# helpers and the shipped plug-ins under one prefix, with a CMake package
# (find_package(zelhostlibmultimedia)) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(HOSTLIB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zelhostlibmultimedia)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/hostlib ${PROJECT_SOURCE_DIR}/include/sluice
                  ${PROJECT_SOURCE_DIR}/include/ostra
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

install(TARGETS zelhostlibmultimedia sluice ostra EXPORT zelhostlibmultimediaTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Plug-ins live two levels below the libraries (lib/sluice/plugins) and need
# libsluice.so from there when loaded by a host that has not loaded it yet.
get_property(_hostlib_plugins GLOBAL PROPERTY SLUICE_PLUGINS)
foreach(_plugin IN LISTS _hostlib_plugins)
  set_target_properties(${_plugin} PROPERTIES INSTALL_RPATH "$ORIGIN/../..")
endforeach()

install(EXPORT zelhostlibmultimediaTargets NAMESPACE zelhostlibmultimedia::
        DESTINATION ${HOSTLIB_CMAKE_DIR})

configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/zelhostlibmultimediaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zelhostlibmultimediaConfig.cmake
  INSTALL_DESTINATION ${HOSTLIB_CMAKE_DIR} PATH_VARS CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zelhostlibmultimediaConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zelhostlibmultimediaConfig.cmake
              ${PROJECT_BINARY_DIR}/zelhostlibmultimediaConfigVersion.cmake
        DESTINATION ${HOSTLIB_CMAKE_DIR})

# The prefix is written relative to the .pc file so that an install moved to
# another --prefix still resolves.
file(RELATIVE_PATH HOSTLIB_PC_PREFIX_FROM_PCDIR
     /_prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /_prefix)
string(REGEX REPLACE "/$" "" HOSTLIB_PC_PREFIX_FROM_PCDIR "${HOSTLIB_PC_PREFIX_FROM_PCDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/zelhostlibmultimedia.pc.in
               ${PROJECT_BINARY_DIR}/zelhostlibmultimedia.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zelhostlibmultimedia.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
