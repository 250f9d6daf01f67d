# Install rules and packages. `bash scripts/release.sh` makes them all:
#   Linux (CPack DEB, three packages, one per component):
#     runtime -> libzultrk7     libzultrk.so.7 and the stand-in host library libKORVAN.so.7
#     dev     -> libzultrk-dev  zultrk.h, korvan.h, the .so links, zultrk.pc
#     tools   -> zultrk-tools   zulhost, zulsim, their man pages, the Wireshark
#                               dissector, the timing diagram script, the udev example
#     gateway -> zultrk-gateway zulgate, its man pages, the systemd unit, a sample
#                               configuration and point list (conffiles), the guide
#   Windows (CPack ZIP): zultrk-7.0-win32.zip, zultrk.dll at the top with the
#     integrator's guide and the licence; tools/ with zulhost.exe, the stand-in
#     KORVAN.dll and a copy of zultrk.dll.
include(GNUInstallDirs)

# A tree without the host tool (the sanitizer build) makes no packages.
if(NOT TARGET zulhost)
  return()
endif()

set(CPACK_PACKAGE_NAME zultrk)
set(CPACK_PACKAGE_VENDOR "the zultrk developers")
set(CPACK_PACKAGE_CONTACT "the zultrk developers <zultrk@lists.zultrk.dev>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Trane Tracker panel driver for SCADA hosts")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)

if(WIN32)
  set(ZUL_GUIDE ${CMAKE_BINARY_DIR}/INTEGRATORS-GUIDE.md)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/guide-header.md ${CMAKE_BINARY_DIR}/guide-header.md @ONLY)
  add_custom_command(OUTPUT ${ZUL_GUIDE}
    COMMAND ${CMAKE_COMMAND} -DDOCS=${CMAKE_SOURCE_DIR}/docs/integrators.md,${CMAKE_SOURCE_DIR}/docs/field.md
            -DHEADER=${CMAKE_BINARY_DIR}/guide-header.md -DOUTPUT=${ZUL_GUIDE}
            -P ${CMAKE_SOURCE_DIR}/packaging/make_guide.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/integrators.md ${CMAKE_SOURCE_DIR}/docs/field.md ${CMAKE_BINARY_DIR}/guide-header.md
            ${CMAKE_SOURCE_DIR}/packaging/make_guide.cmake
    COMMENT "The integrator's guide, from docs/")
  add_custom_target(zul_guide ALL DEPENDS ${ZUL_GUIDE})

  install(TARGETS zultrk RUNTIME DESTINATION . LIBRARY DESTINATION . COMPONENT driver)
  install(FILES ${ZUL_GUIDE} ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT driver)
  install(FILES ${CMAKE_SOURCE_DIR}/docs/line-timing.svg DESTINATION docs COMPONENT driver)
  # The stand-in host library only beside the tool, never beside the driver.
  install(TARGETS zulhost KORVAN RUNTIME DESTINATION tools LIBRARY DESTINATION tools COMPONENT tools)
  install(TARGETS zultrk RUNTIME DESTINATION tools COMPONENT tools)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME zultrk-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME zultrk-${PROJECT_VERSION}-win32)
  endif()
else()
  install(TARGETS zultrk KORVAN
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
  install(FILES ${CMAKE_SOURCE_DIR}/driver/zultrk.h ${CMAKE_SOURCE_DIR}/host/korvan/korvan.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/zultrk.pc.in ${CMAKE_BINARY_DIR}/zultrk.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/zultrk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

  install(TARGETS zulhost zulsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  # Man pages and the changelog compressed as Debian wants them (gzip -9n: no name, no time).
  find_program(ZUL_GZIP gzip REQUIRED)
  set(ZUL_MANPAGES)
  foreach(page zulhost.1 zulsim.1 zulgate.8 zulgate.toml.5)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${ZUL_GZIP} -9n -c ${CMAKE_SOURCE_DIR}/man/${page} > ${CMAKE_BINARY_DIR}/man/${page}.gz
      DEPENDS ${CMAKE_SOURCE_DIR}/man/${page})
    list(APPEND ZUL_MANPAGES ${CMAKE_BINARY_DIR}/man/${page}.gz)
  endforeach()
  configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/changelog.Debian @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.Debian.gz
    COMMAND ${ZUL_GZIP} -9n -c ${CMAKE_BINARY_DIR}/changelog.Debian > ${CMAKE_BINARY_DIR}/changelog.Debian.gz
    DEPENDS ${CMAKE_BINARY_DIR}/changelog.Debian)
  add_custom_target(zul_package_docs ALL DEPENDS ${ZUL_MANPAGES} ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
  install(FILES ${CMAKE_BINARY_DIR}/man/zulhost.1.gz ${CMAKE_BINARY_DIR}/man/zulsim.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

  # The gateway as a service: the program in sbin, a unit that reads
  # /etc/zultrk/gateway.toml, and a sample of it and its point list, which
  # the conffiles file marks the site's own.
  install(TARGETS zulgate RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT gateway)
  install(FILES ${CMAKE_BINARY_DIR}/man/zulgate.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT gateway)
  install(FILES ${CMAKE_BINARY_DIR}/man/zulgate.toml.5.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5 COMPONENT gateway)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/gateway/zulgate.service DESTINATION /lib/systemd/system
    COMPONENT gateway)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/gateway/gateway.toml ${CMAKE_SOURCE_DIR}/packaging/gateway/gateway-points.csv
    DESTINATION /etc/zultrk PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT gateway)
  install(FILES ${CMAKE_SOURCE_DIR}/docs/gateway.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zultrk-gateway
    COMPONENT gateway)
  install(FILES ${CMAKE_SOURCE_DIR}/contrib/wireshark/zultrk.lua
    DESTINATION ${CMAKE_INSTALL_DATADIR}/zultrk/wireshark COMPONENT tools)
  # Examples to copy, so not executable where they are.
  install(FILES ${CMAKE_SOURCE_DIR}/contrib/udev/99-zultrk-adapter.rules ${CMAKE_SOURCE_DIR}/contrib/timing/line_timing.py
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zultrk-tools/examples COMPONENT tools)
  foreach(pair runtime:libzultrk7 dev:libzultrk-dev tools:zultrk-tools gateway:zultrk-gateway)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 component)
    list(GET pair 1 package)
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/changelog.Debian.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  endforeach()

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL runtime dev tools gateway)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zultrk.dev")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Our own libraries, built here, are found in the build tree, not asked of dpkg.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/driver ${CMAKE_BINARY_DIR}/host/korvan)
  set(ZUL_DEB_EXACT "libzultrk7 (= ${PROJECT_VERSION}-1)")

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzultrk7)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  # The libraries are registered through the ldconfig trigger, not by
  # maintainer scripts that call ldconfig (CPack's own do; ours do nothing).
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
      "${CMAKE_SOURCE_DIR}/packaging/triggers;${CMAKE_SOURCE_DIR}/packaging/postinst;${CMAKE_SOURCE_DIR}/packaging/postrm")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Trane Tracker panel driver (Linux library)
 The zultrk driver as a shared library for a SCADA/HMI host on Linux: one
 export, ZulMain, that starts channels, checks point addresses and reads and
 writes point values in a Trane Tracker panel over a serial line. It logs
 through libKORVAN, a small host library whose sink the host sets.")

  set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzultrk-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${ZUL_DEB_EXACT}")
  set(CPACK_COMPONENT_DEV_DESCRIPTION "Trane Tracker panel driver (development files)
 The host header zultrk.h (the records, request codes and ZulMain, for C and
 C++), korvan.h (the sink that receives the driver's log lines), the .so
 links and the pkg-config file zultrk.pc.")

  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zultrk-tools)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${ZUL_DEB_EXACT}")
  set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Trane Tracker panel driver (tools)
 zulhost, a host on the command line that drives the installed driver (with
 a built-in simulated panel, a port finder, a line tap and a capture
 decoder), zulsim, a simulated panel, their man pages, a Wireshark dissector
 for the line's captures and an example udev rule for USB adapters.")

  set(CPACK_DEBIAN_GATEWAY_PACKAGE_NAME zultrk-gateway)
  set(CPACK_DEBIAN_GATEWAY_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_GATEWAY_PACKAGE_DEPENDS "${ZUL_DEB_EXACT}, adduser")
  set(CPACK_DEBIAN_GATEWAY_PACKAGE_CONTROL_EXTRA
      "${CMAKE_SOURCE_DIR}/packaging/gateway/conffiles;${CMAKE_SOURCE_DIR}/packaging/gateway/postinst;${CMAKE_SOURCE_DIR}/packaging/gateway/prerm;${CMAKE_SOURCE_DIR}/packaging/gateway/postrm")
  set(CPACK_DEBIAN_GATEWAY_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_COMPONENT_GATEWAY_DESCRIPTION "Trane Tracker panel gateway (Modbus TCP, MQTT, BACnet/IP)
 zulgate drives Trane Tracker panels on serial lines through the zultrk
 driver and serves their points as Modbus TCP registers and coils, over
 MQTT and as BACnet/IP objects, with a status page and Prometheus metrics. It runs as the systemd
 service zulgate.service (installed, not enabled) as a system user of its
 own in the dialout group, from /etc/zultrk/gateway.toml.")
endif()

include(CPack)
