# Installation layout and the Debian package. cmake --install puts the tool in bin/, the
# manual page in share/man/man1/ and the documentation Debian expects in
# share/doc/norvel-read/; cpack -G DEB packages the same tree under /usr.
include(GNUInstallDirs)

find_program(GZIP_PROGRAM gzip REQUIRED)
set(NORVEL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})

# gzip -9n: best compression and no name or time stamp in the header, so the files are the
# same on every build.
function(norvel_gzip source output)
  add_custom_command(OUTPUT ${output}
                     COMMAND ${GZIP_PROGRAM} -9nc ${source} > ${output}
                     DEPENDS ${source} VERBATIM)
  list(APPEND NORVEL_GZIPPED ${output})
  set(NORVEL_GZIPPED ${NORVEL_GZIPPED} PARENT_SCOPE)
endfunction()

set(NORVEL_PACKAGED ${CMAKE_BINARY_DIR}/packaged)
norvel_gzip(${PROJECT_SOURCE_DIR}/docs/norvel-read.1 ${NORVEL_PACKAGED}/norvel-read.1.gz)
norvel_gzip(${PROJECT_SOURCE_DIR}/README.md ${NORVEL_PACKAGED}/README.md.gz)
norvel_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog ${NORVEL_PACKAGED}/changelog.gz)
file(MAKE_DIRECTORY ${NORVEL_PACKAGED})
add_custom_target(packaged-docs ALL DEPENDS ${NORVEL_GZIPPED})

install(FILES ${NORVEL_PACKAGED}/norvel-read.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${NORVEL_PACKAGED}/README.md.gz ${NORVEL_PACKAGED}/changelog.gz
              ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${NORVEL_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The norvel-read developers <norvel-read@example.org>")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bluez)
if(NORVEL_DEB_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${NORVEL_DEB_ARCHITECTURE})
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "read an air-quality sensor over Bluetooth LE as JSON")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "norvel-read reads a battery-powered air-quality sensor (CO2, temperature,
humidity, pressure) over Bluetooth Low Energy through bluetoothd on the
system D-Bus and prints its measurements as one JSON object. It is a
one-shot command for cron jobs, shell scripts and home-automation hooks:
it finds the sensor, connects, reads one record, disconnects and exits
within 15 seconds. It needs no root, only a D-Bus policy that lets the
user call bluetoothd.")
include(CPack)
