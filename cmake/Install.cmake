# What `cmake --install` puts into the prefix, and the Debian packages that
# `cpack -G DEB` makes of it:
#   libks318      libks318.so.<version> and its soname link libks318.so.<major>
#   libks318-dev  ks318.h, libks318.a, the libks318.so link, KS318Config.cmake
#                 (find_package(KS318): KS318::ks318, KS318::ks318_static), ks318.pc
#   ks318-tools   ks318-term and ks318-console
include(CMakePackageConfigHelpers)

set(KS318_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KS318)

# The static library for hosts: the library's objects and the port's, in one
# archive, needing what the shared library links (and the C++ runtime: the
# library is C++ inside its C interface).
pkg_check_modules(KS318_STATIC_DEPS REQUIRED gdk-pixbuf-2.0 cairo libjpeg)
add_library(ks318_archive STATIC $<TARGET_OBJECTS:ks318_objects> $<TARGET_OBJECTS:ks318_port_objects>
                                 $<TARGET_OBJECTS:ks318_port_picture_objects>)
set_target_properties(ks318_archive PROPERTIES OUTPUT_NAME ks318 EXPORT_NAME ks318_static)
target_include_directories(ks318_archive INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                                   $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(ks318_archive INTERFACE Threads::Threads ${KS318_STATIC_DEPS_LIBRARIES} stdc++ m)
add_library(KS318::ks318_static ALIAS ks318_archive)

install(TARGETS ks318 EXPORT KS318Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libks318 NAMELINK_COMPONENT libks318-dev)
install(TARGETS ks318_archive EXPORT KS318Targets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libks318-dev)
install(FILES ${PROJECT_SOURCE_DIR}/include/ks318.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT libks318-dev)
install(EXPORT KS318Targets NAMESPACE KS318:: DESTINATION ${KS318_CMAKE_DIR} COMPONENT libks318-dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KS318Config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/KS318Config.cmake INSTALL_DESTINATION ${KS318_CMAKE_DIR})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KS318ConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KS318Config.cmake ${CMAKE_CURRENT_BINARY_DIR}/KS318ConfigVersion.cmake
  DESTINATION ${KS318_CMAKE_DIR} COMPONENT libks318-dev)

# ks318.pc finds its prefix from where it lies, so the tree can be installed anywhere.
file(RELATIVE_PATH KS318_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(${CMAKE_CURRENT_LIST_DIR}/ks318.pc.in ${CMAKE_CURRENT_BINARY_DIR}/ks318.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ks318.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT libks318-dev)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libks318 COMPONENT libks318)

set(KS318_PACKAGES libks318 libks318-dev)
if(TARGET ks318-term)
  # Installed, the console finds the library beside its own folder.
  set_target_properties(ks318-console PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS ks318-term ks318-console RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ks318-tools)
  list(APPEND KS318_PACKAGES ks318-tools)
endif()

# Debian packages: one per component, their dependencies found by dpkg-shlibdeps
# from what the binaries link. Only for KS318's own build, not when another
# project builds it within its own.
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()
set(CPACK_PACKAGE_NAME ks318)
set(CPACK_PACKAGE_VENDOR "The KS318 developers")
set(CPACK_PACKAGE_CONTACT "The KS318 developers <ks318@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "KS318 drives display terminals over TCP: a C library with a pinned\n export set for host programs. Licence: MIT.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${KS318_PACKAGES})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_LIBKS318-DEV_DEPENDS libks318)
set(CPACK_COMPONENT_KS318-TOOLS_DEPENDS libks318)
set(CPACK_DEBIAN_LIBKS318_PACKAGE_NAME libks318)
set(CPACK_DEBIAN_LIBKS318-DEV_PACKAGE_NAME libks318-dev)
set(CPACK_DEBIAN_KS318-TOOLS_PACKAGE_NAME ks318-tools)
set(CPACK_DEBIAN_LIBKS318_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBKS318-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_KS318-TOOLS_PACKAGE_SECTION net)
# Metafile texts are drawn in a font fontconfig finds; the simulated screen draws in DejaVu.
set(CPACK_DEBIAN_LIBKS318_PACKAGE_DEPENDS "fonts-dejavu-core")
# ks318.pc names these for static linking (pkg-config reads them in any case);
# the static library is C++, so a C program linking it needs the C++ runtime's
# development files too.
set(CPACK_DEBIAN_LIBKS318-DEV_PACKAGE_DEPENDS
    "libgdk-pixbuf-2.0-dev, libcairo2-dev, libjpeg62-turbo-dev, libstdc++-12-dev | libstdc++-dev")
set(CPACK_DEBIAN_KS318-TOOLS_PACKAGE_DEPENDS "fonts-dejavu-core")
# ks318-bridge and ks318-web --fleet meet on an MQTT 5 broker; Mosquitto is one.
set(CPACK_DEBIAN_KS318-TOOLS_PACKAGE_SUGGESTS "mosquitto, mosquitto-clients")
include(CPack)
