# Install rules for Linux and the Debian package that `cpack -G DEB` makes from them:
# the program, its manual page, and the documentation and example where Debian keeps them.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The changelog's newest entry names the version it describes; a release that forgets
# one of the two would ship a package whose changelog contradicts its version.
file(STRINGS ${CMAKE_SOURCE_DIR}/doc/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^quobrina \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "doc/changelog begins with '${changelog_head}', not with the entry for ${PROJECT_VERSION}")
endif()

# Compressed without a name or time stamp, so that equal sources give equal packages.
find_program(QUOBRINA_GZIP gzip REQUIRED)
set(compressed)
foreach(source doc/quobrina.1 doc/changelog)
  get_filename_component(name ${source} NAME)
  set(output ${CMAKE_BINARY_DIR}/package/${name}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/package
    COMMAND ${QUOBRINA_GZIP} -9nc ${CMAKE_SOURCE_DIR}/${source} > ${output}
    DEPENDS ${CMAKE_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND compressed ${output})
endforeach()
add_custom_target(quobrina_documents ALL DEPENDS ${compressed})

install(TARGETS quobrina RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/package/quobrina.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md doc/copyright ${CMAKE_BINARY_DIR}/package/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES examples/upload.xml DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quobrina)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quobrina maintainers <maintainers@quobrina.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "uploads the files of a folder to an HTTP or HTTPS server")
set(CPACK_PACKAGE_DESCRIPTION
  "Quobrina is a console program that a parent program starts to upload the files\n"
  "of one folder to an HTTP or HTTPS server, one multipart/form-data POST per file.\n"
  "A ledger records every file sent, so that no file is sent twice. The program\n"
  "reports through time-stamped log lines on standard output and its exit code.\n"
  "It reads its settings from an XML file named on the command line.")
string(CONCAT CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
# The C and C++ runtimes, as the linked program needs them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# OpenSSL is loaded at run time, and only for https.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libssl3 | libssl1.1")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
