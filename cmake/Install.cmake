# Installation and the Debian package.
#
# <prefix>/lib/q7m-uart/         q7m-uart, q7m-inspect, q7m-uart-bridge,
#                                libPCIAccessDll.so (sysfs),
#                                q7m-uart.layout (marks the install and names the
#                                configuration folder); the programs find the
#                                library through RUNPATH $ORIGIN
# <prefix>/lib/q7m-uart/sim/     the simulated libPCIAccessDll.so
# <prefix>/bin/                  q7m-uart, q7m-inspect, q7m-uart-bridge (relative
#                                symlinks into the private folder), q7m-uart-sim,
#                                q7m-inspect-sim, q7m-uart-bridge-sim (launchers)
# <etc>/q7m-uart/Q7m_Uart.cfg    the configuration; <etc> is /etc for the prefix
#                                /usr (the package), <prefix>/etc otherwise
# <etc>/q7m-uart/bridge.conf     the settings of the bridge's service (conffile)
# <prefix>/lib/udev/rules.d/     60-q7m-uart.rules: the group q7m may use the board
# <prefix>/lib/systemd/system/   q7m-uart-bridge@.service: one bridge per board
#                                as a service, shipped disabled
# <etc>/security/limits.d/       q7m-uart.conf: the group q7m may give the UART's
#                                receive thread real-time wake-ups
# <prefix>/share/man/man1/       q7m-uart.1.gz, q7m-inspect.1.gz,
#                                q7m-uart-bridge.1.gz and the -sim links
# <prefix>/share/doc/q7m-uart/   README.md, README.pcie-linux.md, copyright,
#                                changelog.gz, examples/ (ser2net, conserver and
#                                labgrid set-ups for the bridge's link)
#
# Test programs and the failing sim-variants libraries are not installed.

include(GNUInstallDirs)

set(Q7M_INSTALL_PRIVATEDIR "lib/q7m-uart" CACHE STRING
  "Folder, relative to the prefix, of the programs and their access library")
set(Q7M_INSTALL_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/q7m-uart")
set(Q7M_INSTALL_MANDIR "${CMAKE_INSTALL_MANDIR}/man1")

# Relative paths keep the installed tree relocatable (cmake --install --prefix,
# DESTDIR, CPack's staging folder).
file(RELATIVE_PATH q7m_bin_to_private "/${CMAKE_INSTALL_BINDIR}" "/${Q7M_INSTALL_PRIVATEDIR}")

set(q7m_programs q7m-uart q7m-inspect q7m-uart-bridge)
install(TARGETS ${q7m_programs} RUNTIME DESTINATION ${Q7M_INSTALL_PRIVATEDIR})
install(TARGETS PCIAccessDll_sysfs LIBRARY DESTINATION ${Q7M_INSTALL_PRIVATEDIR})
install(TARGETS PCIAccessDll_sim LIBRARY DESTINATION ${Q7M_INSTALL_PRIVATEDIR}/sim)

# The configuration folder is decided when installing, since the prefix may be
# given only then (cmake --install --prefix; CPack installs with /usr and
# DESTDIR). file(INSTALL) adds DESTDIR itself.
install(CODE "set(q7m_sample \"${CMAKE_SOURCE_DIR}/config/sample/Q7m_Uart.cfg\")
  set(q7m_bridge_conf \"${CMAKE_SOURCE_DIR}/packaging/bridge.conf\")
  set(q7m_unit_in \"${CMAKE_SOURCE_DIR}/packaging/q7m-uart-bridge@.service.in\")
  set(q7m_unit \"${CMAKE_BINARY_DIR}/install-layout/q7m-uart-bridge@.service\")
  set(q7m_bindir \"${CMAKE_INSTALL_BINDIR}\")
  set(q7m_limits \"${CMAKE_SOURCE_DIR}/packaging/q7m-uart.conf\")
  set(q7m_private \"${Q7M_INSTALL_PRIVATEDIR}\")
  set(q7m_layout \"${CMAKE_BINARY_DIR}/install-layout/q7m-uart.layout\")")
install(CODE [[
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(q7m_sysconf "/etc")
  else()
    set(q7m_sysconf "${CMAKE_INSTALL_PREFIX}/etc")
  endif()
  set(q7m_etc "${q7m_sysconf}/q7m-uart")
  file(INSTALL DESTINATION "${q7m_etc}" TYPE FILE FILES "${q7m_sample}" "${q7m_bridge_conf}")
  file(INSTALL DESTINATION "${q7m_sysconf}/security/limits.d" TYPE FILE FILES "${q7m_limits}")
  # The service names the installed program and configuration.
  set(Q7M_BIN "${CMAKE_INSTALL_PREFIX}/${q7m_bindir}")
  set(Q7M_ETC "${q7m_etc}")
  configure_file("${q7m_unit_in}" "${q7m_unit}" @ONLY)
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
    FILES "${q7m_unit}")
  file(WRITE "${q7m_layout}"
    "# Written by the install: the programs beside this file are installed and
"
    "# read their configuration from this folder.
"
    "config ${q7m_etc}
")
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${q7m_private}" TYPE FILE
    FILES "${q7m_layout}")
]])
install(FILES ${CMAKE_SOURCE_DIR}/packaging/60-q7m-uart.rules DESTINATION lib/udev/rules.d)

# The links are made once in the build tree and installed as links.
set(q7m_link_dir ${CMAKE_BINARY_DIR}/install-bin)
file(MAKE_DIRECTORY ${q7m_link_dir})
foreach(program ${q7m_programs})
  file(CREATE_LINK ${q7m_bin_to_private}/${program} ${q7m_link_dir}/${program} SYMBOLIC)
  install(FILES ${q7m_link_dir}/${program} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

# The installed launchers name the simulated library's folder relative to
# themselves; the build tree's launchers (app/) name the build folder.
set(Q7M_SIM_DIR ${q7m_bin_to_private}/sim)
foreach(Q7M_PROGRAM ${q7m_programs})
  configure_file(${CMAKE_SOURCE_DIR}/app/sim_launcher.in ${q7m_link_dir}/${Q7M_PROGRAM}-sim @ONLY)
  install(PROGRAMS ${q7m_link_dir}/${Q7M_PROGRAM}-sim DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

# Debian wants man pages compressed, reproducibly (-n: no name or time stamp).
find_program(Q7M_GZIP gzip REQUIRED)
set(q7m_man_pages)
set(q7m_man_links)
foreach(page q7m-uart.1 q7m-inspect.1 q7m-uart-bridge.1)
  set(q7m_man_gz ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${q7m_man_gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${Q7M_GZIP} -9 -n -c ${CMAKE_SOURCE_DIR}/man/${page} > ${q7m_man_gz}
    DEPENDS ${CMAKE_SOURCE_DIR}/man/${page}
    VERBATIM)
  list(APPEND q7m_man_pages ${q7m_man_gz})
  # The launchers share their program's page.
  string(REPLACE ".1" "-sim.1" q7m_sim_page ${page})
  file(CREATE_LINK ${page}.gz ${q7m_link_dir}/${q7m_sim_page}.gz SYMBOLIC)
  list(APPEND q7m_man_links ${q7m_link_dir}/${q7m_sim_page}.gz)
endforeach()

# The changelog of a native package, as Debian wants it; its first entry is
# this version.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog q7m_changelog_head LIMIT_COUNT 1)
if(NOT q7m_changelog_head MATCHES "^q7m-uart \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog does not begin with version ${PROJECT_VERSION}: "
    "${q7m_changelog_head}")
endif()
set(q7m_changelog_gz ${CMAKE_BINARY_DIR}/man/changelog.gz)
add_custom_command(OUTPUT ${q7m_changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
  COMMAND ${Q7M_GZIP} -9 -n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${q7m_changelog_gz}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(q7m-man ALL DEPENDS ${q7m_man_pages} ${q7m_changelog_gz})
install(FILES ${q7m_man_pages} ${q7m_man_links} DESTINATION ${Q7M_INSTALL_MANDIR})

install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${Q7M_INSTALL_DOCDIR})
install(FILES ${CMAKE_SOURCE_DIR}/pcie-linux/README.md
  DESTINATION ${Q7M_INSTALL_DOCDIR} RENAME README.pcie-linux.md)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${q7m_changelog_gz}
  DESTINATION ${Q7M_INSTALL_DOCDIR})
install(FILES ${CMAKE_SOURCE_DIR}/examples/conserver.cf ${CMAKE_SOURCE_DIR}/examples/ser2net.yaml
  ${CMAKE_SOURCE_DIR}/examples/labgrid-q7m.yaml DESTINATION ${Q7M_INSTALL_DOCDIR}/examples)

# The Debian package: cpack -G DEB in the build folder (or scripts/package.sh).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME q7m-uart)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "q7m-uart developers")
set(CPACK_PACKAGE_CONTACT "q7m-uart developers <maintainers@users.noreply.c-seed-81f2634d.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bring-up and console tool for the Q7M PCIe board")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# CPack puts the summary on the Description line and indents these lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "q7m-uart routes the UART of a Q7M PCIe add-in board to one of the board's
consoles and opens a serial terminal on it, with a capture file, function-key
macros and a help text from a configuration file. q7m-inspect shows the
board's memory and configuration space. q7m-uart-bridge publishes the board
UART as a pseudo-terminal for serial tools (picocom, pexpect, lrzsz,
pyserial) and, through ser2net, conserver and labgrid, for the lab network;
a systemd unit runs one per board as a service. The package holds an
access library
for real boards over sysfs, a udev rule that gives the group q7m access to
the board, and a simulated board (q7m-uart-sim, q7m-inspect-sim).")
# The maintainer scripts make the group q7m and the bridge service's user and
# remove them on purge, and stop the service's bridges on removal; the
# programs' libraries are private (found beside them), so no ldconfig.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/conffiles
  ${CMAKE_SOURCE_DIR}/packaging/postinst
  ${CMAKE_SOURCE_DIR}/packaging/prerm
  ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps computes the exact versions where it is available; the
# explicit list names the same runtimes otherwise.
# adduser makes the group and the service's user in postinst.
find_program(Q7M_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(Q7M_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libc6 (>= 2.34), libstdc++6 (>= 12), \
libgcc-s1 (>= 3.0), libncursesw6 (>= 6), libtinfo6 (>= 6)")
endif()
include(CPack)
