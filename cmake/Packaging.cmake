# Manual pages, documentation, and the Debian package (`scripts/package`, or
# `cpack -G DEB` in a build directory).

# Manual pages carry the project's version; SOURCE_DATE_EPOCH, when set,
# fixes their date so that a package can be rebuilt bit for bit.
string(TIMESTAMP RTI_MAN_DATE "%Y-%m-%d" UTC)
set(RTI_MAN_PAGES quorvex morva morvalauncher rtictl)
set(RTI_MAN_DIR ${CMAKE_BINARY_DIR}/man)
foreach(page ${RTI_MAN_PAGES})
  configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1.in ${RTI_MAN_DIR}/${page}.1 @ONLY)
  install(FILES ${RTI_MAN_DIR}/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

set(RTI_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/rti-servers)
install(FILES ${PROJECT_SOURCE_DIR}/README.md
              ${PROJECT_SOURCE_DIR}/docs/operations.md
              ${PROJECT_SOURCE_DIR}/docs/wire-format.md
              ${PROJECT_SOURCE_DIR}/docs/architecture.md
        DESTINATION ${RTI_DOC_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/tools/README.md DESTINATION ${RTI_DOC_DIR} RENAME rtictl.md)

# Files outside the prefix (the units, /etc/default) belong to the package
# only: `cmake --install` leaves the system alone unless asked for this
# component by name.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quorvex.service
              ${PROJECT_SOURCE_DIR}/packaging/morva@.service
        DESTINATION /lib/systemd/system COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/default-quorvex
        DESTINATION /etc/default RENAME quorvex COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/default-morva
        DESTINATION /etc/default RENAME morva COMPONENT system EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rti-servers)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "RTI servers maintainers <rti-servers@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "RTI executive servers: registry, executive, launcher, rtictl")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "quorvex, the registry of federation executions of a site, and morva, the\nexecutive of one federation execution, with systemd units for both,\nmorvalauncher and the rtictl command-line client.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# The libraries the programs link (ACE above all) become dependencies as
# dpkg-shlibdeps finds them; only what the maintainer scripts run is named.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm
    ${PROJECT_SOURCE_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES ON)
# One package holding the default installation and the system component.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified system)
include(CPack)
