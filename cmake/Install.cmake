# Installation and the Debian package.
#
# <prefix>/lib/q7m-uart/         q7m-uart, q7m-inspect, libPCIAccessDll.so (sysfs),
#                                the sample Q7m_Uart.cfg; the programs find the
#                                library through RUNPATH $ORIGIN
# <prefix>/lib/q7m-uart/sim/     the simulated libPCIAccessDll.so
# <prefix>/bin/                  q7m-uart, q7m-inspect (relative symlinks into the
#                                private folder), q7m-uart-sim (launcher)
# <prefix>/share/man/man1/       q7m-uart.1.gz, q7m-inspect.1.gz
# <prefix>/share/doc/q7m-uart/   README.md, README.pcie-linux.md, copyright
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

install(TARGETS q7m-uart q7m-inspect RUNTIME DESTINATION ${Q7M_INSTALL_PRIVATEDIR})
install(TARGETS PCIAccessDll_sysfs LIBRARY DESTINATION ${Q7M_INSTALL_PRIVATEDIR})
install(TARGETS PCIAccessDll_sim LIBRARY DESTINATION ${Q7M_INSTALL_PRIVATEDIR}/sim)
install(FILES ${CMAKE_SOURCE_DIR}/config/sample/Q7m_Uart.cfg
  DESTINATION ${Q7M_INSTALL_PRIVATEDIR})

# The links are made once in the build tree and installed as links.
set(q7m_link_dir ${CMAKE_BINARY_DIR}/install-bin)
file(MAKE_DIRECTORY ${q7m_link_dir})
foreach(program q7m-uart q7m-inspect)
  file(CREATE_LINK ${q7m_bin_to_private}/${program} ${q7m_link_dir}/${program} SYMBOLIC)
  install(FILES ${q7m_link_dir}/${program} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

# The installed launcher names the simulated library's folder relative to
# itself; the build tree's launcher (app/) names the build folder.
set(Q7M_SIM_DIR ${q7m_bin_to_private}/sim)
configure_file(${CMAKE_SOURCE_DIR}/app/q7m-uart-sim.in ${q7m_link_dir}/q7m-uart-sim @ONLY)
install(PROGRAMS ${q7m_link_dir}/q7m-uart-sim DESTINATION ${CMAKE_INSTALL_BINDIR})

# Debian wants man pages compressed, reproducibly (-n: no name or time stamp).
find_program(Q7M_GZIP gzip REQUIRED)
set(q7m_man_pages)
foreach(page q7m-uart.1 q7m-inspect.1)
  set(q7m_man_gz ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${q7m_man_gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${Q7M_GZIP} -9 -n -c ${CMAKE_SOURCE_DIR}/man/${page} > ${q7m_man_gz}
    DEPENDS ${CMAKE_SOURCE_DIR}/man/${page}
    VERBATIM)
  list(APPEND q7m_man_pages ${q7m_man_gz})
endforeach()
add_custom_target(q7m-man ALL DEPENDS ${q7m_man_pages})
install(FILES ${q7m_man_pages} DESTINATION ${Q7M_INSTALL_MANDIR})

install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${Q7M_INSTALL_DOCDIR})
install(FILES ${CMAKE_SOURCE_DIR}/pcie-linux/README.md
  DESTINATION ${Q7M_INSTALL_DOCDIR} RENAME README.pcie-linux.md)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${Q7M_INSTALL_DOCDIR})

# The Debian package: cpack -G DEB in the build folder (or scripts/package.sh).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME q7m-uart)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "q7m-uart maintainers")
set(CPACK_PACKAGE_CONTACT "q7m-uart maintainers <maintainers@users.noreply.c-seed-81f2634d.example>")
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
board's memory and configuration space. The package holds an access library
for real boards over sysfs and a simulated board (q7m-uart-sim).")
# dpkg-shlibdeps computes the exact versions where it is available; the
# explicit list names the same runtimes otherwise.
find_program(Q7M_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(Q7M_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.0), libncursesw6 (>= 6), libtinfo6 (>= 6)")
endif()
include(CPack)
