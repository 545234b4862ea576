# The Debian package (cpack -G DEB): the program folder, vigilo_cfg and svcmgr
# as `cmake --install` lays them out below /usr, the systemd unit that runs
# svcmgr, the run-time folder's tmpfiles.d entry and the maintainer scripts
# that register the service on install and remove it on purge.
set(pkg ${PROJECT_SOURCE_DIR}/packaging)
install(FILES ${pkg}/vigilo.service DESTINATION lib/systemd/system)
install(FILES ${pkg}/tmpfiles.conf DESTINATION lib/tmpfiles.d RENAME vigilo.conf)
install(FILES README.md DESTINATION share/doc/vigilo)

set(CPACK_PACKAGE_CONTACT "vigilo maintainers <vigilo@example.org>" CACHE STRING
    "Maintainer of the Debian package")
# A native package's changelog: one entry for the version being built.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${CMAKE_BINARY_DIR}/changelog
     "vigilo (${PROJECT_VERSION}) stable; urgency=medium\n\n"
     "  * Release ${PROJECT_VERSION}.\n\n"
     " -- ${CPACK_PACKAGE_CONTACT}  ${changelog_date}\n")
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/changelog COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION share/doc/vigilo)
file(COPY ${pkg}/svcmgr.8 DESTINATION ${CMAKE_BINARY_DIR})
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/svcmgr.8 COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_BINARY_DIR}/svcmgr.8.gz DESTINATION share/man/man8)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vigilo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "alarm service for visitor-counting installations")
set(CPACK_PACKAGE_DESCRIPTION
    "vigilo checks, at set times of day, the Firebird databases of the shop chains\n"
    "a data-acquisition service keeps, raises an alarm for every shop that\n"
    "missed a day of counting, writes HTML reports and mails them. The package\n"
    "holds the service, its manager svcmgr (run by systemd) and the control\n"
    "program vigilo_cfg.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Beyond the libraries the programs link: the window needs Qt's X11 platform
# plugin, and the maintainer scripts start-stop-daemon and the systemd helpers.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, dpkg (>= 1.17.6), init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "firebird3.0-server")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${pkg}/postinst ${pkg}/prerm ${pkg}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
