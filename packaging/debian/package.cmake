# The Debian package, built by `cpack -G DEB` in a configuration with prefix /usr: the plain
# install, plus what makes pathvane Debian's cvs. /usr/bin/cvs is a link to pathvane, Debian's
# cvs is diverted to the fallback /usr/bin/ncvs (preinst, postrm), and the table is a conffile
# whose routes are all commented out, so that a fresh install sends every command to Debian's
# cvs. These files belong to the package alone (component "debian"): `cmake --install` never
# lays down a live table nor takes the name cvs.
set(debian "${PROJECT_BINARY_DIR}/debian")
get_filename_component(table_dir "${table}" DIRECTORY)
get_filename_component(table_name "${table}" NAME)
install(FILES "${PROJECT_BINARY_DIR}/etc/pathvane.conf.sample" DESTINATION "${table_dir}"
        RENAME "${table_name}" COMPONENT debian EXCLUDE_FROM_ALL)
file(WRITE "${debian}/conffiles" "${table}\n")
file(CREATE_LINK pathvane "${debian}/cvs" SYMBOLIC)
install(FILES "${debian}/cvs" DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT debian EXCLUDE_FROM_ALL)

# /usr/share/doc/pathvane/copyright in Debian's machine-readable format, from LICENSE.
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" license)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS LICENSE)
string(REGEX MATCH "Copyright \\(c\\) ([0-9]+), ([^\n]+)" copyright "${license}")
set(copyright "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
string(REGEX REPLACE "^.*\nCopyright[^\n]*\n\n" "" license "${license}")
string(REGEX REPLACE "\n$" "" license "${license}")
string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
string(REGEX REPLACE "\n" "\n " license "${license}")
file(WRITE "${debian}/copyright"
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: ${PROJECT_NAME}\n\n"
     "Files: *\nCopyright: ${copyright}\nLicense: BSD-2-Clause\n\n"
     "License: BSD-2-Clause\n ${license}\n")
install(FILES "${debian}/copyright" packaging/debian/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES packaging/debian/lintian-overrides RENAME pathvane
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "The pathvane developers <pathvane@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "runs the CVS program that a repository's root calls for")
string(CONFIGURE [[
pathvane takes the place of Debian's cvs, which it diverts to /usr/bin/ncvs.
For every CVS command, local, from a remote client over ssh or through the
password server, it works out the repository's root, looks it up in the
administrator's program table @table@ and runs the CVS program
that the table names. One host can thus serve each repository with its own
CVS build behind one command.

Until the administrator adds a route to the table, every command runs
Debian's cvs. pathvane-check(8) checks the table and tells which program
a root or a command line would run.]] CPACK_PACKAGE_DESCRIPTION @ONLY)
set(CPACK_GENERATOR DEB)
# One package of the plain install and the "debian" component.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL pathvane debian)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION vcs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS cvs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/packaging/debian/preinst"
    "${PROJECT_SOURCE_DIR}/packaging/debian/postrm" "${debian}/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Checked when the package is made, as the plain install may use any prefix and fallback.
set(CPACK_PATHVANE_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PATHVANE_FALLBACK "${PATHVANE_FALLBACK}")
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/packaging/debian/cpack_checks.cmake")
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/packaging/debian/strip_and_compress.cmake")
include(CPack)
