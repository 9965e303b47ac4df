# Install-time part of `make install` and of the package (run from cmake_install.cmake, after
# KX_SERVER, KX_CLIENT, KX_PACKAGING and KX_WORK were set): the manual pages, written by the
# programs themselves from the text of their --help; the systemd unit, pointed at the installed
# server; the logrotate file and the service's environment file. Paths follow the prefix; the
# configuration goes to /etc for the prefix /usr and to PREFIX/etc otherwise.
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr")
  set(etc "/etc")
else()
  set(etc "${prefix}/etc")
endif()
file(MAKE_DIRECTORY "${KX_WORK}")

foreach(pair "kestrix-server:${KX_SERVER}" "kestrix:${KX_CLIENT}")
  string(REPLACE ":" ";" parts "${pair}")
  list(GET parts 0 name)
  list(GET parts 1 binary)
  execute_process(COMMAND "${binary}" --manual OUTPUT_FILE "${KX_WORK}/${name}.1" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${binary} --manual failed (${rc})")
  endif()
  file(REMOVE "${KX_WORK}/${name}.1.gz")
  file(ARCHIVE_CREATE OUTPUT "${KX_WORK}/${name}.1.gz" PATHS "${KX_WORK}/${name}.1" FORMAT raw COMPRESSION GZip
       COMPRESSION_LEVEL 9 MTIME 0)
  file(INSTALL DESTINATION "${prefix}/share/man/man1" TYPE FILE FILES "${KX_WORK}/${name}.1.gz")
endforeach()

set(BINDIR "${prefix}/bin")
set(ETCDIR "${etc}")
configure_file("${KX_PACKAGING}/kestrix.service.in" "${KX_WORK}/kestrix.service" @ONLY)
file(INSTALL DESTINATION "${prefix}/lib/systemd/system" TYPE FILE FILES "${KX_WORK}/kestrix.service")
file(INSTALL DESTINATION "${etc}/logrotate.d" TYPE FILE RENAME kestrix FILES "${KX_PACKAGING}/kestrix.logrotate")
file(INSTALL DESTINATION "${etc}/default" TYPE FILE RENAME kestrix FILES "${KX_PACKAGING}/kestrix.default"
     PERMISSIONS OWNER_READ OWNER_WRITE)
