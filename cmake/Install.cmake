# What an installed KORVALIN brings besides the programs (their own install rules are beside
# them): the man page, the bash completion and the read-me; and the Debian package made from all
# of it with CPack (scripts/package-deb).
include(GNUInstallDirs)

# The man page is written in scdoc (docs/korvalin.1.scd) and built with Debian's scdoc when it is
# there; a package build asks for it with -DKORV_MANPAGE=ON, so that it cannot go missing.
set(KORV_MANPAGE AUTO CACHE STRING "Build the man page with scdoc: ON, OFF or AUTO")
find_program(KORV_SCDOC scdoc)
if(KORV_MANPAGE STREQUAL "ON" AND NOT KORV_SCDOC)
  message(FATAL_ERROR "KORV_MANPAGE is ON but scdoc was not found (scripts/deps package)")
endif()
if(KORV_SCDOC AND NOT KORV_MANPAGE STREQUAL "OFF")
  set(man_dir ${CMAKE_BINARY_DIR}/man)
  configure_file(${CMAKE_SOURCE_DIR}/docs/korvalin.1.scd ${man_dir}/korvalin.1.scd @ONLY)
  add_custom_command(
    OUTPUT ${man_dir}/korvalin.1 ${man_dir}/korvalin.1.gz
    COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/scdoc-man.sh ${KORV_SCDOC} korvalin.1.scd korvalin.1
    COMMAND sh -c "gzip -9 -n -c korvalin.1 > korvalin.1.gz"
    DEPENDS ${man_dir}/korvalin.1.scd ${CMAKE_SOURCE_DIR}/cmake/scdoc-man.sh
    WORKING_DIRECTORY ${man_dir}
    COMMENT "Man page korvalin.1"
    VERBATIM)
  add_custom_target(korv_manpage ALL DEPENDS ${man_dir}/korvalin.1.gz)
  install(FILES ${man_dir}/korvalin.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

install(FILES ${CMAKE_SOURCE_DIR}/res/completion/korvalin.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME korvalin)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvalin)
set(CPACK_PACKAGE_VERSION ${KORV_VERSION})
set(CPACK_PACKAGE_VENDOR "QUENDAL Instruments Ltd.")
set(CPACK_PACKAGE_CONTACT "QUENDAL Instruments Ltd. <support@quendal.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "load software updates into testers over a serial line")
set(CPACK_PACKAGE_DESCRIPTION
    "KORVALIN loads software update files into testers over an RS-232 line (57600 8N1, XON/XOFF). "
    "A desktop program shows the tester's output and sends the file when the tester asks for it; "
    "its console mode (korvalin --console) updates one tester or a batch of many from scripts "
    "and production lines, also through network serial ports. A simulated tester "
    "(korvalin-tester-sim) lets the program be tried without an instrument: korvalin --demo.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies are those of the programs' shared libraries, as dpkg-shlibdeps finds them, so
# that installing the package brings the Qt libraries along.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/res/deb/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
