# Debian package of the install: cpack -G DEB (run `cpack -G DEB` in a build
# tree configured with -DZAV_PYTHON=3; scripts/check-package builds, lints,
# installs and runs it). Everything the install rules lay out goes in, plus
# the package's own documents, maintainer scripts and lintian overrides.
set(_zav_pkg zavsmsrv)
set(_zav_pkg_dir ${CMAKE_CURRENT_LIST_DIR})
set(_zav_pkg_out ${CMAKE_BINARY_DIR}/packaging)

# Debian's libpython lives in the default search path: no RPATH for it.
if(ZAV_PYTHON_LIBDIR IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
  set_target_properties(ZAVsmsrv zavsmcheck PROPERTIES INSTALL_RPATH "")
endif()

# Debian policy: copyright and changelog (gzip -9n) in /usr/share/doc/<package>,
# lintian overrides in /usr/share/lintian/overrides/<package>.
file(MAKE_DIRECTORY ${_zav_pkg_out})
add_custom_command(OUTPUT ${_zav_pkg_out}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${_zav_pkg_dir}/changelog ${_zav_pkg_out}/changelog
  COMMAND gzip -9nf ${_zav_pkg_out}/changelog
  DEPENDS ${_zav_pkg_dir}/changelog VERBATIM)
add_custom_target(package_docs ALL DEPENDS ${_zav_pkg_out}/changelog.gz)
install(FILES ${_zav_pkg_dir}/copyright ${_zav_pkg_out}/changelog.gz DESTINATION /usr/share/doc/${_zav_pkg})
install(FILES ${_zav_pkg_dir}/lintian-overrides DESTINATION /usr/share/lintian/overrides
  RENAME ${_zav_pkg})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${_zav_pkg})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ZAVsmsrv maintainers <maintainers@users.noreply.c-seed-e98329aa.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "management controller log monitoring service of the agent suite")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "ZAVsmsrv watches the Integrated Management Log of the server's management
controller through a Python controller module, records every new or updated
entry and reports the entries named in its definition file as alert events
through the suite's report library. It keeps its place in the suite's
file-backed registry, so a restart neither loses nor repeats entries.
.
The controller module reads a controller over Redfish or its IPMI System
Event Log (in band or over the LAN, with FreeIPMI's tools).
.
It runs on its own (standalone, as installed) or inside the agent suite. The
package installs under /opt/kym/tolvex_sa, the agent suite's fixed location,
with the registry tool zavreg, a systemd unit and manual pages.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Its textfile collector serves the service's metrics to Prometheus.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS prometheus-node-exporter)
# The IPMI backend of the controller module reads the SEL with FreeIPMI's tools.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS freeipmi-tools)
set(CPACK_STRIP_FILES ON)
# The install has absolute destinations (/usr/lib/systemd, /usr/share):
# stage with DESTDIR so that they land in the package, not on this machine.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# conffiles lists the configuration files the staged install holds (the
# controller settings only once they are installed); written just before the
# package is made.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${_zav_pkg_out}/conffiles ${_zav_pkg_dir}/postinst ${_zav_pkg_dir}/postrm)
set(ZAV_PKG_CONFFILES_OUT ${_zav_pkg_out}/conffiles)
set(ZAV_PKG_CONFFILES
  ${CMAKE_INSTALL_PREFIX}/data/zavsmsrv.conf
  ${CMAKE_INSTALL_PREFIX}/data/controller.ini)
configure_file(${_zav_pkg_dir}/conffiles.cmake.in ${_zav_pkg_out}/conffiles.cmake @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${_zav_pkg_out}/conffiles.cmake)
include(CPack)
