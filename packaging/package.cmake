# `make install` and `make package`: the two programs, their manual pages, the systemd unit, the
# logrotate file and the service's environment file; CPack builds the Debian package from the
# same installation, with the maintainer scripts of this folder. Included by CMakeLists.txt.
include(GNUInstallDirs)
install(TARGETS kestrix-server kestrix RUNTIME DESTINATION bin)
install(CODE "set(KX_SERVER \"$<TARGET_FILE:kestrix-server>\")
set(KX_CLIENT \"$<TARGET_FILE:kestrix>\")
set(KX_PACKAGING \"${CMAKE_CURRENT_LIST_DIR}\")
set(KX_WORK \"${CMAKE_BINARY_DIR}/packaging\")")
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/install_files.cmake)

file(STRINGS ${CMAKE_SOURCE_DIR}/src/server/application.h KX_VERSION_LINE REGEX "kServerVersionText = \"")
string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" KX_VERSION "${KX_VERSION_LINE}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrix)
set(CPACK_PACKAGE_VERSION ${KX_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "server for on-line communities: chat, messages, news and files")
set(CPACK_PACKAGE_DESCRIPTION "Kestrix serves chat rooms, private messages, a message board, threaded\n\
news and file libraries to its clients, with accounts, privileges and bans,\n\
all kept in plain files in one program folder. The package runs it as the\n\
service kestrix.service on /var/lib/kestrix, and holds the command-line\n\
client kestrix.")
set(CPACK_PACKAGE_CONTACT "Kestrix maintainers <kestrix@localhost>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "logrotate")
find_program(KX_SHLIBDEPS dpkg-shlibdeps)
if(KX_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/prerm ${CMAKE_CURRENT_LIST_DIR}/postrm
    ${CMAKE_CURRENT_LIST_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Absolute paths (/etc) need the installation under DESTDIR with the real prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
