# The Debian package: `cpack -G DEB` in the build folder makes
# velkor-proxy_1.0.0-1_amd64.deb (tests/deb_package_test.sh checks it).
# It holds what `cmake --install` installs, under /usr, plus the component
# "deb" that only the package takes: the systemd unit, the configuration in
# /etc and Debian's documentation files. Absolute paths there would not fit
# an install into another prefix.
set(VELKOR_DEB_DIR ${PROJECT_SOURCE_DIR}/packaging/linux)

# Debian wants the man page and the changelog compressed, and -n leaves the
# time stamp out so that two builds give the same bytes.
foreach(name velkor-proxy.1 changelog)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/${name}.gz
    COMMAND gzip -9nc ${VELKOR_DEB_DIR}/${name} > ${PROJECT_BINARY_DIR}/${name}.gz
    DEPENDS ${VELKOR_DEB_DIR}/${name})
endforeach()
add_custom_target(velkor_deb_docs ALL
  DEPENDS ${PROJECT_BINARY_DIR}/velkor-proxy.1.gz ${PROJECT_BINARY_DIR}/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/velkor-proxy.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${VELKOR_DEB_DIR}/velkor-proxy.service DESTINATION /lib/systemd/system
  COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES examples/config/plain-http.json DESTINATION /etc/velkor-proxy
  RENAME config.json COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${VELKOR_DEB_DIR}/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${VELKOR_DEB_DIR}/https-credentials.json
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR}
  RENAME changelog.Debian.gz COMPONENT deb EXCLUDE_FROM_ALL)
# The program finds the library in /usr/lib by itself; Debian forbids the
# RUNPATH that lets a copy installed elsewhere find its own.
install(CODE "file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/velkor-proxy\")"
  COMPONENT deb EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velkor-proxy)
set(CPACK_PACKAGE_CONTACT "velkor-proxy maintainers <maintainers@users.noreply.c-seed-bd853dc1.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "embeddable HTTP reverse proxy with optional TLS termination")
set(CPACK_PACKAGE_DESCRIPTION "\
A shared library whose whole interface is six C functions: a host program
hands it one JSON document and it serves on threads of its own. It routes
each client connection by its Host header and the longest matching path
prefix to an IPv4 backend, and can terminate TLS and redirect plain HTTP to
HTTPS. The package also holds the velkor-proxy program with a systemd unit,
the header, a pkg-config file and a CMake package.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Programs built against this version run with any later 1.x, as the CMake
# package's version check also says.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Our own postinst and postrm also keep CPack from adding ldconfig calls,
# which the ldconfig trigger makes needless.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${VELKOR_DEB_DIR}/conffiles ${VELKOR_DEB_DIR}/triggers
  ${VELKOR_DEB_DIR}/postinst ${VELKOR_DEB_DIR}/postrm)
set(CPACK_STRIP_FILES ON)
# The normal install first, then the component "deb", whose last step
# edits the program the first one installed.
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${PROJECT_BINARY_DIR};velkor-proxy;ALL;/"
  "${PROJECT_BINARY_DIR};velkor-proxy;deb;/")
include(CPack)
