# The Debian packages `cpack -G DEB` makes: one per install component, each
# with its copyright, changelog and README in /usr/share/doc/<package>, its
# binaries stripped into a -dbgsym package, and its dependencies found by
# dpkg-shlibdeps from what the binaries link.
set(KS318_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KS318_DEB_RELEASE 1 CACHE STRING "Debian revision of the packages (the -N after the version)")
set(KS318_DEB_VERSION ${PROJECT_VERSION}-${KS318_DEB_RELEASE})

# Package names: the library's follows its soname, libks318.so.<major>.
set(KS318_DEB_NAME_libks318 libks318-${PROJECT_VERSION_MAJOR})
set(KS318_DEB_NAME_libks318-dev libks318-dev)
set(KS318_DEB_NAME_ks318-tools ks318-tools)

# The changelog's newest entry must be this version: a new version adds one.
file(STRINGS ${KS318_PACKAGING_DIR}/changelog KS318_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT KS318_CHANGELOG_TOP MATCHES "^ks318 \\(${KS318_DEB_VERSION}\\) ")
  message(WARNING "packaging/changelog does not start with version ${KS318_DEB_VERSION}: add an entry")
endif()
# changelog.Debian.gz as dpkg-dev makes it: gzip -9n, no name and no time stored.
set(KS318_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${KS318_CHANGELOG_GZ}
  COMMAND gzip -9nc ${KS318_PACKAGING_DIR}/changelog > ${KS318_CHANGELOG_GZ}
  DEPENDS ${KS318_PACKAGING_DIR}/changelog VERBATIM)
add_custom_target(ks318_changelog ALL DEPENDS ${KS318_CHANGELOG_GZ})
foreach(component IN LISTS KS318_PACKAGES)
  set(package ${KS318_DEB_NAME_${component}})
  install(FILES ${KS318_PACKAGING_DIR}/copyright ${KS318_CHANGELOG_GZ} ${PROJECT_SOURCE_DIR}/README.md
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  # What lintian reports and is so on purpose, each with its reason.
  install(FILES ${KS318_PACKAGING_DIR}/lintian/${package} DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
    COMPONENT ${component})
endforeach()

if(TARGET ks318-term)
  include(${KS318_PACKAGING_DIR}/man/ManPages.cmake)
  include(${KS318_PACKAGING_DIR}/Services.cmake)
endif()

set(CPACK_PACKAGE_NAME ks318)
set(CPACK_PACKAGE_VENDOR "The KS318 developers")
if(NOT CPACK_PACKAGE_CONTACT)
  set(CPACK_PACKAGE_CONTACT "The KS318 developers <ks318@example.org>")
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${KS318_PACKAGES})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KS318_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_LIBKS318-DEV_DEPENDS libks318)
set(CPACK_COMPONENT_KS318-TOOLS_DEPENDS libks318)
foreach(component IN LISTS KS318_PACKAGES)
  string(TOUPPER ${component} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${KS318_DEB_NAME_${component}})
endforeach()
set(CPACK_DEBIAN_LIBKS318_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBKS318-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_KS318-TOOLS_PACKAGE_SECTION net)
set(CPACK_COMPONENT_LIBKS318_DESCRIPTION "${PROJECT_DESCRIPTION} (library)
KS318 drives display terminals over TCP: it serves their connections, sends
them screens, pictures, files and media, and reports their keys, cards and
serial data to the host program through a C interface.
.
This package holds the shared library.")
set(CPACK_COMPONENT_LIBKS318-DEV_DESCRIPTION "${PROJECT_DESCRIPTION} (development files)
KS318 drives display terminals over TCP through a C interface.
.
This package holds the header, the static library, and the CMake and
pkg-config files. Linking the static library needs the development files of
cairo, libjpeg and libpng as well (pkg-config --static --libs ks318).")
set(CPACK_COMPONENT_KS318-TOOLS_DESCRIPTION "${PROJECT_DESCRIPTION} (programs)
KS318 drives display terminals over TCP. This package holds its programs:
ks318-console, a host console; ks318-term, simulated terminals;
ks318-web, a dashboard serving terminals and a web page; ks318-bridge,
which puts a site's terminals on an MQTT 5 broker. The dashboard and the
bridge come with systemd services, not enabled on installation.")
# Metafile texts are drawn in a font fontconfig finds; the simulated screen draws in DejaVu.
set(CPACK_DEBIAN_LIBKS318_PACKAGE_DEPENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_KS318-TOOLS_PACKAGE_DEPENDS "fonts-dejavu-core")
# A shared link needs the header and the library alone; the static library
# links what the shared one does (and the C++ runtime).
set(CPACK_DEBIAN_LIBKS318-DEV_PACKAGE_SUGGESTS
    "libcairo2-dev, libjpeg-dev, libpng-dev, libstdc++-dev")
# ks318-bridge and ks318-web --fleet meet on an MQTT 5 broker; Mosquitto is one.
set(CPACK_DEBIAN_KS318-TOOLS_PACKAGE_SUGGESTS "mosquitto, mosquitto-clients")
# The library's ldconfig runs through dpkg's trigger.
set(CPACK_DEBIAN_LIBKS318_PACKAGE_CONTROL_EXTRA ${KS318_PACKAGING_DIR}/debian/libks318/triggers)
set(CPACK_DEBIAN_KS318-TOOLS_PACKAGE_CONTROL_EXTRA ${KS318_PACKAGING_DIR}/debian/ks318-tools/conffiles
    ${KS318_PACKAGING_DIR}/debian/ks318-tools/postinst ${KS318_PACKAGING_DIR}/debian/ks318-tools/postrm)
include(CPack)
