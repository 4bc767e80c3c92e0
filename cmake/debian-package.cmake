# Install rules for Linux and the Debian package made from them (target debian-package,
# which gives quobrina_<version>_<arch>.deb in the build folder): the program, its manual
# page, and the documentation and example where Debian keeps them.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Installing builds only what is installed (debian-package depends on it), not the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

# The changelog's newest entry names the version it describes; a release that forgets
# one of the two would ship a package whose changelog contradicts its version.
file(STRINGS ${CMAKE_SOURCE_DIR}/doc/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^quobrina \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "doc/changelog begins with '${changelog_head}', not with the entry for ${PROJECT_VERSION}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/doc/changelog)

# The manual page is dated with the release it documents: the newest entry's date.
file(STRINGS ${CMAKE_SOURCE_DIR}/doc/changelog changelog_signature REGEX "^ -- " LIMIT_COUNT 1)
if(NOT changelog_signature MATCHES ", ([0-9][0-9]?) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
  message(FATAL_ERROR "doc/changelog: no date in '${changelog_signature}'")
endif()
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND months ${CMAKE_MATCH_2} month)
math(EXPR month "${month} + 1" OUTPUT_FORMAT DECIMAL)
string(LENGTH "${month}" length)
if(length EQUAL 1)
  set(month "0${month}")
endif()
set(day ${CMAKE_MATCH_1})
string(LENGTH "${day}" length)
if(length EQUAL 1)
  set(day "0${day}")
endif()
set(QUOBRINA_RELEASE_DATE "${CMAKE_MATCH_3}-${month}-${day}")

set(stage ${CMAKE_BINARY_DIR}/package)
configure_file(${CMAKE_SOURCE_DIR}/doc/quobrina.1.in ${stage}/quobrina.1 @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/doc/changelog ${stage}/changelog COPYONLY)

# Compressed without a name or time stamp, so that equal sources give equal packages.
find_program(QUOBRINA_GZIP gzip REQUIRED)
set(compressed)
foreach(name quobrina.1 changelog)
  add_custom_command(OUTPUT ${stage}/${name}.gz
    COMMAND ${QUOBRINA_GZIP} -9nkf ${stage}/${name}
    DEPENDS ${stage}/${name} VERBATIM)
  list(APPEND compressed ${stage}/${name}.gz)
endforeach()
add_custom_target(quobrina_documents ALL DEPENDS ${compressed})

install(TARGETS quobrina RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${stage}/quobrina.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md doc/copyright ${stage}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES examples/upload.xml DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# The systemd template units: one service run and its timer per configuration
# /etc/quobrina/NAME.xml. Installing them enables nothing. Debian's place for the units of
# packages (systemd's pkg-config file names it; /lib/systemd/system on Debian 12).
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_get_variable(QUOBRINA_SYSTEMD_UNIT_DIR systemd systemdsystemunitdir)
endif()
if(NOT QUOBRINA_SYSTEMD_UNIT_DIR)
  set(QUOBRINA_SYSTEMD_UNIT_DIR /lib/systemd/system)
endif()
install(FILES packaging/linux/quobrina@.service packaging/linux/quobrina@.timer
  DESTINATION ${QUOBRINA_SYSTEMD_UNIT_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quobrina)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quobrina maintainers <maintainers@quobrina.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "uploads the files of a folder to an HTTP or HTTPS server")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Quobrina is a console program that a parent program starts to upload the\n"
  "files of one folder to an HTTP or HTTPS server, one multipart/form-data\n"
  "POST per file. A ledger records every file the server accepted, so that a\n"
  "later run does not send it again. The program reports through time-stamped\n"
  "log lines on standard output and through its exit code, and reads its\n"
  "settings from an XML file named on the command line. Template units for\n"
  "systemd run it every minute for each configuration in /etc/quobrina.")
# The C and C++ runtimes, as the linked program needs them (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# OpenSSL is loaded at run time, and only for https.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libssl3 | libssl3t64 | libssl1.1")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# postinst makes /etc/quobrina for the units' configurations, readable by root alone;
# postrm removes it on purge when it is empty.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/linux/postinst
  ${CMAKE_SOURCE_DIR}/packaging/linux/postrm)
set(CPACK_STRIP_FILES ON)
include(CPack)

add_custom_target(debian-package
  COMMAND ${CMAKE_CPACK_COMMAND} -G DEB --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR} VERBATIM)
add_dependencies(debian-package quobrina quobrina_documents)
