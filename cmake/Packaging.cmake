# Installation of the daemon, its two clients, the example configuration, the
# systemd unit, a Grafana dashboard and Prometheus alerting rules, and the Debian package that CPack builds from them:
#   cmake --install build [--prefix /usr/local]
#   (cd build && cpack -G DEB)
# Included by the top-level CMakeLists.txt after the programs are defined.

include(GNUInstallDirs)

set(vellort_programs vellort)
foreach(tool_source ${tool_sources})
  get_filename_component(tool_name ${tool_source} NAME_WE)
  list(APPEND vellort_programs ${tool_name})
endforeach()
install(TARGETS ${vellort_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Only an example: the daemon reads /etc/vellort_quorvin.conf, which the operator
# writes from this file. A package that installed it there would start copying
# into the example's directories.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/vellort_quorvin.conf DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Loaded from where they lie by Grafana and Prometheus, so not documentation:
# images that leave out share/doc keep them.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/grafana-dashboard.json ${CMAKE_SOURCE_DIR}/packaging/vellort-alerts.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vellort)

# The unit names the installed daemon, and the prefix is only known when
# installing (cmake --install --prefix, or /usr inside the package), so it is
# written then. systemd looks for units in /usr/local/lib/systemd/system too.
install(CODE "
  set(VELLORT_BIN_DIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(VELLORT_DOC_DIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
  configure_file(\"${CMAKE_SOURCE_DIR}/packaging/vellort.service.in\"
                 \"${CMAKE_BINARY_DIR}/packaging/vellort.service\" @ONLY)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\" TYPE FILE
       FILES \"${CMAKE_BINARY_DIR}/packaging/vellort.service\")
")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vellort)
set(CPACK_PACKAGE_VENDOR "VELLORT")
set(CPACK_PACKAGE_CONTACT "VELLORT maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "storage-management daemon of a data-acquisition computer")
set(CPACK_PACKAGE_DESCRIPTION
    "VELLORT copies every file that the acquisition program announces on its RAM disk into a cascade of storages, keeps the RAM disk and the internal disk from overflowing, removes the previous users' files on a user shift, and reports through a status service and a message service. The package holds the daemon, the clients vellort-status and vellort-messages, a systemd unit and an example configuration.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The installed programs need no debug information; the build tree keeps it.
set(CPACK_STRIP_FILES ON)

# dpkg-shlibdeps (from dpkg-dev) reads the libraries the programs link against
# and names the packages that hold them, tinyxml2's among them, with the
# versions this build needs. Without it, the list is written out.
find_program(VELLORT_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VELLORT_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libtinyxml2-9, libsqlite3-0, libxxhash0, libcpp-httplib0.11, libsystemd0, libmosquitto1, libstdc++6, libgcc-s1, libc6")
endif()

include(CPack)
