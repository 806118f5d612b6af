# Two Debian packages from the install components, with `cpack -G DEB` in the
# build folder: "orvaned" for the device, "orvanectl" for a configurator's
# laptop. The same install rules serve `cmake --install`; the maintainer
# scripts in deb/ create the services' users and reload systemd and D-Bus,
# and never enable or start a unit.

# Whoever builds the packages for a distribution or a product names
# themselves here: -DORV_PACKAGE_MAINTAINER="Name <address>".
set(ORV_PACKAGE_MAINTAINER "orvaned maintainers <maintainers@users.noreply.c-seed-aaf51f18.example>"
    CACHE STRING "Maintainer of the Debian packages (their control files and changelog)")

set(CPACK_PACKAGE_NAME orvaned)
set(CPACK_PACKAGE_VENDOR "orvaned")
set(CPACK_PACKAGE_CONTACT "${ORV_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
# The units and /etc/default files name the configured paths: configure with
# -DCMAKE_INSTALL_PREFIX=/usr (the presets do) for packages a distribution takes.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Packages install under ${CMAKE_INSTALL_PREFIX}, not /usr")
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
if(TARGET orvaned)
  set(CPACK_COMPONENTS_ALL device laptop)
else()
  set(CPACK_COMPONENTS_ALL laptop) # a configurator-only build
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)

# Each package's copyright and changelog.Debian.gz in its documentation
# folder. The changelog's date is SOURCE_DATE_EPOCH's when that is set.
set(ORV_DEB_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
string(TIMESTAMP ORV_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(deb/changelog.in ${gen}/deb/changelog @ONLY)
add_custom_command(OUTPUT ${gen}/deb/changelog.Debian.gz
                   COMMAND ${GZIP} -9nf ${gen}/deb/changelog -c > ${gen}/deb/changelog.Debian.gz
                   DEPENDS ${gen}/deb/changelog
                   COMMENT "changelog.Debian.gz")
add_custom_target(deb_changelog ALL DEPENDS ${gen}/deb/changelog.Debian.gz)
foreach(package_component orvaned:device orvanectl:laptop)
  string(REPLACE ":" ";" pair ${package_component})
  list(GET pair 0 package)
  list(GET pair 1 component)
  install(FILES deb/copyright ${gen}/deb/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
          COMPONENT ${component})
endforeach()
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# Library dependencies from the programs themselves (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_DEVICE_PACKAGE_NAME orvaned)
set(CPACK_DEBIAN_DEVICE_PACKAGE_DEPENDS "default-dbus-system-bus | dbus-system-bus, systemd")
set(CPACK_DEBIAN_DEVICE_DESCRIPTION
    "device discovery and remote configuration on the local segment
orvaned makes a device discoverable on its segment, also without an IP
address, and lets an authorised configurator change its host name and IPv4
settings. Also the reference configuration service cendrixd and the event
notifier notifierd, with their systemd units (installed, not enabled).")
set(dir ${CMAKE_CURRENT_SOURCE_DIR}/deb)
set(CPACK_DEBIAN_DEVICE_PACKAGE_CONTROL_EXTRA ${dir}/postinst ${dir}/prerm ${dir}/postrm ${dir}/conffiles)
set(CPACK_DEBIAN_DEVICE_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

set(CPACK_DEBIAN_LAPTOP_PACKAGE_NAME orvanectl)
set(CPACK_DEBIAN_LAPTOP_PACKAGE_RECOMMENDS bash-completion)
set(CPACK_DEBIAN_LAPTOP_PACKAGE_SUGGESTS wireshark)
set(CPACK_DEBIAN_LAPTOP_DESCRIPTION
    "configurator for orvaned devices
orvanectl discovers orvaned devices on every interface, configures their
host name and IPv4 settings, watches the segment and listens to their
events. With its man page, shell completions and a Wireshark dissector.")

include(CPack)
