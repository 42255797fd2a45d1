# Manual pages, documentation, and the Debian packages (`scripts/package`, or
# `cpack -G DEB` in a build directory).
#
# Install components: the default one (programs, guides) goes everywhere;
# `man` (plain manual pages) only to `cmake --install`; `deb` (compressed
# manual pages, the Debian changelog and copyright, the units and
# /etc/default) only into the package, as the system files must never land
# outside a plain installation's prefix.

# Manual pages carry the project's version; SOURCE_DATE_EPOCH, when set,
# fixes their date so that a package can be rebuilt bit for bit.
string(TIMESTAMP RTI_MAN_DATE "%Y-%m-%d" UTC)
set(RTI_MAN_PAGES quorvex morva morvalauncher rtictl)
set(RTI_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(RTI_DEB_DIR ${CMAKE_BINARY_DIR}/deb)
file(MAKE_DIRECTORY ${RTI_DEB_DIR})
set(rti_generated)
# gzip -9n: the best compression and no name or time stamp, as Debian wants.
function(rti_gzip input output)
  add_custom_command(OUTPUT ${output}
                     COMMAND sh -c "gzip -9n <\"$0\" >\"$1\"" ${input} ${output}
                     DEPENDS ${input} VERBATIM)
endfunction()
foreach(page ${RTI_MAN_PAGES})
  configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1.in ${RTI_MAN_DIR}/${page}.1 @ONLY)
  install(FILES ${RTI_MAN_DIR}/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT man)
  rti_gzip(${RTI_MAN_DIR}/${page}.1 ${RTI_DEB_DIR}/${page}.1.gz)
  list(APPEND rti_generated ${RTI_DEB_DIR}/${page}.1.gz)
  install(FILES ${RTI_DEB_DIR}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT deb EXCLUDE_FROM_ALL)
endforeach()

# The guides keep the source tree's layout, so that every link between them
# (README.md to docs/operations.md, the guide to its pictures) resolves in
# the installed copy as it does here.
set(RTI_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/rti-servers)
file(GLOB rti_docs ${PROJECT_SOURCE_DIR}/docs/*.md ${PROJECT_SOURCE_DIR}/docs/*.png
     ${PROJECT_SOURCE_DIR}/docs/*.svg)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${RTI_DOC_DIR})
install(FILES ${rti_docs} DESTINATION ${RTI_DOC_DIR}/docs)
install(FILES ${PROJECT_SOURCE_DIR}/tools/README.md DESTINATION ${RTI_DOC_DIR}/tools)
install(FILES ${PROJECT_SOURCE_DIR}/registry/README.md DESTINATION ${RTI_DOC_DIR}/registry)

# Every package's Debian changelog (changelog.gz: the packages are native)
# and copyright file.
rti_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog ${RTI_DEB_DIR}/changelog.gz)
list(APPEND rti_generated ${RTI_DEB_DIR}/changelog.gz)
function(rti_debian_doc_files package component)
  install(FILES ${RTI_DEB_DIR}/changelog.gz ${PROJECT_SOURCE_DIR}/packaging/copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()
rti_debian_doc_files(rti-servers deb)
# Built with the programs (scripts/package names this target).
add_custom_target(rti_package_files ALL DEPENDS ${rti_generated})

install(FILES ${PROJECT_SOURCE_DIR}/packaging/quorvex.service
              ${PROJECT_SOURCE_DIR}/packaging/morva@.service
        DESTINATION /lib/systemd/system COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/default-quorvex
        DESTINATION /etc/default RENAME quorvex COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/default-morva
        DESTINATION /etc/default RENAME morva COMPONENT deb EXCLUDE_FROM_ALL)

# --- The packages ----------------------------------------------------------------
# The maintainer's name and address go into every package and the changelog
# must name the same; a site building its own packages sets its own.
set(RTI_PACKAGE_MAINTAINER "RTI servers maintainers <rti-servers@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rti-servers)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${RTI_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs link (ACE above all) become dependencies as
# dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)

# rti-servers: the programs, the guides and the deb component.
set(CPACK_COMPONENT_UNSPECIFIED_GROUP servers)
set(CPACK_COMPONENT_DEB_GROUP servers)
set(CPACK_DEBIAN_SERVERS_PACKAGE_NAME rti-servers)
set(CPACK_DEBIAN_SERVERS_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_SERVERS_DESCRIPTION
    "RTI executive servers: registry, executive, launcher, rtictl
quorvex, the registry of federation executions of a site, and morva, the
executive of one federation execution, with hardened systemd units for
both, morvalauncher and the rtictl command-line client for operators.")
# Only what the maintainer scripts run is named by hand.
set(CPACK_DEBIAN_SERVERS_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_SERVERS_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm
    ${PROJECT_SOURCE_DIR}/packaging/conffiles)
set(CPACK_COMPONENTS_ALL Unspecified deb)

# Every package comes from the one source tree, whose changelog they ship.
set(CPACK_DEBIAN_PACKAGE_SOURCE rti-servers)

# The client library: librticlient1 (the shared library) and
# librticlient-dev (headers, the .so link, the .a, rticlient.pc and the CMake
# package), from its own install components.
if(TARGET rticlient)
  set(CPACK_COMPONENT_RTICLIENT-RUNTIME_GROUP client)
  set(CPACK_COMPONENT_DEB-CLIENT_GROUP client)
  set(CPACK_COMPONENT_RTICLIENT-DEV_GROUP client-dev)
  set(CPACK_COMPONENT_DEB-CLIENT-DEV_GROUP client-dev)
  rti_debian_doc_files(librticlient1 deb-client)
  rti_debian_doc_files(librticlient-dev deb-client-dev)

  set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME librticlient1)
  set(CPACK_DEBIAN_CLIENT_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_CLIENT_DESCRIPTION
      "client library of the RTI registry and executive
The shared library federates and site tools use to talk to quorvex, the
registry of federation executions, and to morva, the executive of one
execution: reserve, register and look up executions, join, resign and
relay messages.")
  # The shlibs file, for packages that link the library, and the ldconfig
  # trigger instead of maintainer scripts.
  file(WRITE ${RTI_DEB_DIR}/client/shlibs "librticlient 1 librticlient1 (>= ${PROJECT_VERSION})\n")
  file(WRITE ${RTI_DEB_DIR}/client/triggers "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_CLIENT_PACKAGE_CONTROL_EXTRA ${RTI_DEB_DIR}/client/shlibs
                                                ${RTI_DEB_DIR}/client/triggers)

  set(CPACK_DEBIAN_CLIENT-DEV_PACKAGE_NAME librticlient-dev)
  set(CPACK_DEBIAN_CLIENT-DEV_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_CLIENT-DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_CLIENT-DEV_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_CLIENT-DEV_PACKAGE_DEPENDS "librticlient1 (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_CLIENT-DEV_DESCRIPTION
      "client library of the RTI registry and executive: development files
The headers, the static library, the link to the shared library, the
pkg-config file (rticlient.pc) and the CMake package (find_package of
RTIClient) of the client library of quorvex and morva.")
  list(APPEND CPACK_COMPONENTS_ALL rticlient-runtime deb-client rticlient-dev deb-client-dev)
endif()
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebFixup.cmake)

include(CPack)
