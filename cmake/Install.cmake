# Installation and the Debian package.
#
# `cmake --install <build> --prefix P` gives a tree that runs wherever it lies:
#   P/bin                    the programs, RUNPATH $ORIGIN/../lib
#   P/lib                    the shared libraries, and autotest-script, which the
#                            service library starts from its own folder
#   P/share/kivautotest      console/ (autotest-server finds it from bin/) and examples/
#   P/lib/systemd/system     units for the host, the server and the emulator
#   P/etc/default            their options, one environment file each
# Under a system prefix (/usr, /opt/...) the units and their environment files go
# where systemd and Debian read them (/lib/systemd/system, /etc/default) and
# Data/ beside the programs links to /var/lib/kivautotest; see InstallSystemFiles.cmake.
#
# The units and environment files are sources in apps/systemd/, beside the
# programs they run; the package's maintainer scripts in apps/debian/. Both are
# filled in at install time, when the prefix is known (cpack installs to another
# prefix than the one configured).

set(KIV_INSTALL_DATADIR share/kivautotest)

set_target_properties(autotest-host autotest-server autotest-client controller-emulator
    PROPERTIES INSTALL_RPATH "$ORIGIN/../lib")
set_target_properties(kivautotest kivdebugger kivwebsocketserver autotest-script
    PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS autotest-host autotest-server autotest-client controller-emulator RUNTIME DESTINATION bin)
install(TARGETS kivautotest kivdebugger kivwebsocketserver LIBRARY DESTINATION lib)
install(TARGETS autotest-script RUNTIME DESTINATION lib)
install(DIRECTORY console/ DESTINATION ${KIV_INSTALL_DATADIR}/console)
install(DIRECTORY examples/ DESTINATION ${KIV_INSTALL_DATADIR}/examples)
install(CODE "set(KIV_SYSTEMD_SOURCE_DIR \"${CMAKE_SOURCE_DIR}/apps/systemd\")
set(KIV_INSTALL_DATADIR \"${KIV_INSTALL_DATADIR}\")")
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/InstallSystemFiles.cmake)

# One package with everything in /opt/kivautotest: the libraries are private
# to these programs and the host keeps its data beside them (Data/).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kivautotest)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KIV auto-test developers <autotest@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Device auto-test service: host, test-management server, controller emulator")
set(CPACK_PACKAGE_DESCRIPTION "Runs test plans against devices through a local controller process.
Installs autotest-host, autotest-server (with the web console) and controller-emulator
as systemd services, their options in /etc/default.")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/kivautotest)
# InstallSystemFiles.cmake tells a system prefix by CMAKE_INSTALL_PREFIX, which
# without DESTDIR would be the staging folder; with it, CPack installs to
# CPACK_INSTALL_PREFIX.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${CPACK_PACKAGING_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded as plugins, so dpkg-shlibdeps cannot see them: SQLite for both
# databases, PostgreSQL for a shared server database.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5sql5-sqlite, passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt5sql5-psql")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/apps/debian/conffiles
    ${CMAKE_SOURCE_DIR}/apps/debian/postinst
    ${CMAKE_SOURCE_DIR}/apps/debian/prerm
    ${CMAKE_SOURCE_DIR}/apps/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

add_subdirectory(tests/install)
