# What the Windows program has beyond its code: the version resource, and, given the
# OpenSSL DLLs that scripts/openssl-windows builds (QUOBRINA_OPENSSL_WINDOWS, a folder),
# those DLLs beside the program and the tests, imported targets for the tests' TLS peers,
# and the release archive (target windows-archive).
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.rc.in ${CMAKE_BINARY_DIR}/version.rc @ONLY)
target_sources(quobrina PRIVATE ${CMAKE_BINARY_DIR}/version.rc)

set(QUOBRINA_OPENSSL_WINDOWS "" CACHE PATH "Folder with OpenSSL's DLLs for Windows (scripts/openssl-windows)")
if(NOT QUOBRINA_OPENSSL_WINDOWS)
  return()
endif()
set(openssl ${QUOBRINA_OPENSSL_WINDOWS})
foreach(file libcrypto-3.dll libssl-3.dll LICENSE.txt include/openssl/ssl.h lib/libcrypto.dll.a lib/libssl.dll.a)
  if(NOT EXISTS ${openssl}/${file})
    message(FATAL_ERROR "QUOBRINA_OPENSSL_WINDOWS: no ${file} in ${openssl}")
  endif()
endforeach()

add_library(OpenSSL::Crypto SHARED IMPORTED)
set_target_properties(OpenSSL::Crypto PROPERTIES IMPORTED_LOCATION ${openssl}/libcrypto-3.dll
  IMPORTED_IMPLIB ${openssl}/lib/libcrypto.dll.a INTERFACE_INCLUDE_DIRECTORIES ${openssl}/include)
add_library(OpenSSL::SSL SHARED IMPORTED)
set_target_properties(OpenSSL::SSL PROPERTIES IMPORTED_LOCATION ${openssl}/libssl-3.dll
  IMPORTED_IMPLIB ${openssl}/lib/libssl.dll.a INTERFACE_INCLUDE_DIRECTORIES ${openssl}/include
  INTERFACE_LINK_LIBRARIES OpenSSL::Crypto)

set(dlls ${openssl}/libcrypto-3.dll ${openssl}/libssl-3.dll)
# Beside the program, where Windows looks first; and beside the test programs, whose
# TLS peers link them.
add_custom_target(quobrina_openssl_dlls ALL
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${dlls} ${CMAKE_BINARY_DIR}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/tests
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${dlls} ${CMAKE_BINARY_DIR}/tests
  VERBATIM)

# quobrina-<version>-win32.zip: the program, the DLLs with OpenSSL's licence, the example
# configuration and a README for Windows users, all with Windows line ends where text.
set(archive quobrina-${PROJECT_VERSION}-win32)
set(stage ${CMAKE_BINARY_DIR}/archive/${archive})
configure_file(${CMAKE_CURRENT_LIST_DIR}/README.txt.in ${CMAKE_BINARY_DIR}/archive/README.txt @ONLY NEWLINE_STYLE CRLF)
# The example configuration with Windows folders.
file(READ ${CMAKE_SOURCE_DIR}/examples/upload.xml example)
string(REPLACE "/srv/exchange/outbox" "C:\\Exchange\\Outbox" example "${example}")
string(REPLACE "/srv/exchange/state" "C:\\Exchange\\State" example "${example}")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/archive/upload.xml CONTENT "${example}" @ONLY NEWLINE_STYLE CRLF)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/examples/upload.xml)
configure_file(${openssl}/LICENSE.txt ${CMAKE_BINARY_DIR}/archive/OpenSSL-LICENSE.txt NEWLINE_STYLE CRLF)
if(CMAKE_STRIP)
  set(copy_program ${CMAKE_STRIP} -o ${stage}/quobrina.exe $<TARGET_FILE:quobrina>)
else()
  set(copy_program ${CMAKE_COMMAND} -E copy $<TARGET_FILE:quobrina> ${stage}/quobrina.exe)
endif()
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${archive}.zip
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage} ${CMAKE_BINARY_DIR}/${archive}.zip
  COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
  COMMAND ${copy_program}
  COMMAND ${CMAKE_COMMAND} -E copy ${dlls} ${CMAKE_BINARY_DIR}/archive/OpenSSL-LICENSE.txt
    ${CMAKE_BINARY_DIR}/archive/README.txt ${stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/examples
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/archive/upload.xml ${stage}/examples
  COMMAND ${CMAKE_COMMAND} -E tar cf ${CMAKE_BINARY_DIR}/${archive}.zip --format=zip ${archive}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/archive
  DEPENDS quobrina ${dlls} ${CMAKE_BINARY_DIR}/archive/README.txt ${CMAKE_BINARY_DIR}/archive/upload.xml
    ${CMAKE_BINARY_DIR}/archive/OpenSSL-LICENSE.txt
  VERBATIM)
add_custom_target(windows-archive DEPENDS ${CMAKE_BINARY_DIR}/${archive}.zip)
