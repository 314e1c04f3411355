# Install rules and the Debian package: the plug-in library and its public
# headers, the vantrel command, a CMake package (find_package(Vantrel) gives
# Vantrel::vantrel), a pkg-config file, the udev rule, the manual page and
# bash completion. `cpack -G DEB` in the build tree makes the .deb.
if(WIN32)
  return()  # the Windows DLL ships through its own channel (win/)
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

target_include_directories(vantrel_plugin INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# A plug-in is loaded by name (dlopen), like a module: no SONAME version.
set_target_properties(vantrel_plugin PROPERTIES EXPORT_NAME vantrel)
install(TARGETS vantrel_plugin EXPORT VantrelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT runtime
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES include/vantrel/interface.h include/vantrel/extension.h include/vantrel/codes.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vantrel COMPONENT runtime)

if(TARGET vantrel_cli)
  # The command dlopens libvantrel.so: from the build tree beside it, once
  # installed through its run path into the library folder.
  set_target_properties(vantrel_cli PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS vantrel_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()

install(EXPORT VantrelTargets NAMESPACE Vantrel:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vantrel
  COMPONENT runtime)
configure_package_config_file(packaging/VantrelConfig.cmake.in ${CMAKE_BINARY_DIR}/VantrelConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vantrel)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VantrelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VantrelConfig.cmake ${CMAKE_BINARY_DIR}/VantrelConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vantrel COMPONENT runtime)

configure_file(packaging/vantrel.pc.in ${CMAKE_BINARY_DIR}/vantrel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vantrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT runtime)

# udev looks in /usr/lib/udev/rules.d; under another prefix the rule lands
# in PREFIX/lib/udev/rules.d, from where a packager or `vantrel doctor`'s
# remedy copies it.
# 70-vantrel.rules names the phone's ports (the port scan finds them by that
# name); 71-vantrel-access.rules gives those ports seat access and keeps
# ModemManager away.
install(FILES ports/70-vantrel.rules packaging/71-vantrel-access.rules DESTINATION lib/udev/rules.d
  COMPONENT runtime)
install(FILES packaging/vantrel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
install(FILES packaging/vantrel.bash-completion DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME vantrel COMPONENT runtime)

set(CPACK_PACKAGE_NAME vantrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware download plug-in, station command line and phone simulator")
set(CPACK_PACKAGE_CONTACT "Vantrel developers <vantrel@localhost>")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "modemmanager")
include(CPack)
