# The Debian package (cpack -G DEB): the program folder, vigilo_cfg and svcmgr
# as `cmake --install` lays them out below /usr, the systemd unit that runs
# svcmgr, the run-time folder's tmpfiles.d entry, the manual pages, the
# desktop entry and the maintainer scripts that register the service on
# install and remove it on purge. Nothing is shipped below /etc or /var:
# postinst makes the folders the service writes.
set(pkg ${PROJECT_SOURCE_DIR}/packaging)
install(FILES ${pkg}/vigilo.service DESTINATION lib/systemd/system)
install(FILES ${pkg}/tmpfiles.conf DESTINATION lib/tmpfiles.d RENAME vigilo.conf)
install(FILES ${pkg}/copyright ${pkg}/README.Debian DESTINATION share/doc/vigilo)
install(FILES ${pkg}/desktop.conf DESTINATION share/doc/vigilo/examples)
install(FILES ${pkg}/vigilo_cfg.desktop DESTINATION share/applications)
install(FILES ${pkg}/vigilo_cfg.svg DESTINATION share/icons/hicolor/scalable/apps)

# The programs find their settings, log and reports in their own folder:
# there the package ships links to the places the FHS gives them, and
# vigilo_cfg is on PATH. Made at install time, so that a dangling link (the
# settings do not exist until the service first starts) is shipped as it is.
set(links
    "${VIGILO_INSTALL_DIR}/vigilo.ini=/etc/vigilo/vigilo.ini"
    "${VIGILO_INSTALL_DIR}/quennet.ini=/etc/vigilo/quennet.ini"
    "${VIGILO_INSTALL_DIR}/vigilo.log=/var/log/vigilo/vigilo.log"
    "${VIGILO_INSTALL_DIR}/Reports=/var/lib/vigilo/Reports"
    "bin/vigilo_cfg=../${VIGILO_INSTALL_DIR}/vigilo_cfg")
foreach(link IN LISTS links)
  string(REPLACE "=" ";" parts "${link}")
  list(GET parts 0 name)
  list(GET parts 1 target)
  install(CODE "
    set(name \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${name}\")
    get_filename_component(dir \"\${name}\" DIRECTORY)
    file(MAKE_DIRECTORY \"\${dir}\")
    file(CREATE_LINK \"${target}\" \"\${name}\" SYMBOLIC)")
endforeach()

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
foreach(page svcmgr.8 vigilo.8 vigilo_cfg.1)
  string(REGEX REPLACE ".*\\." "" section ${page})
  file(COPY ${pkg}/${page} DESTINATION ${CMAKE_BINARY_DIR}/man)
  execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/man/${page} COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.gz DESTINATION share/man/man${section})
endforeach()

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
# plugin, and the maintainer scripts addgroup, start-stop-daemon and the
# systemd helpers.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qt6-qpa-plugins, adduser, dpkg (>= 1.17.6), init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "firebird3.0-server")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${pkg}/preinst ${pkg}/postinst ${pkg}/prerm ${pkg}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
