# What `cmake --install` puts into the prefix, and the Debian packages that
# `cpack -G DEB` makes of it:
#   libks318-0    libks318.so.<version> and its soname link libks318.so.<major>
#   libks318-dev  ks318.h, libks318.a, the libks318.so link, KS318Config.cmake
#                 (find_package(KS318): KS318::ks318, KS318::ks318_static), ks318.pc
#   ks318-tools   ks318-term, ks318-console, ks318-web, ks318-bridge, their man
#                 pages, and the services of ks318-web and ks318-bridge
# Each with its -dbgsym package holding the debug symbols stripped from it.
include(CMakePackageConfigHelpers)

# On Debian the library goes to the multiarch folder, as GNUInstallDirs chooses
# for the /usr prefix the packages use; /usr/local/lib/<triplet> is searched too.
if(CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version AND CMAKE_INSTALL_LIBDIR STREQUAL "lib")
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
set(KS318_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KS318)

# The static library for hosts: the library's objects and the port's, in one
# archive, needing what the shared library links (and the C++ runtime: the
# library is C++ inside its C interface).
pkg_check_modules(KS318_STATIC_DEPS REQUIRED cairo libjpeg libpng)
add_library(ks318_archive STATIC $<TARGET_OBJECTS:ks318_objects> $<TARGET_OBJECTS:ks318_port_objects>
                                 $<TARGET_OBJECTS:ks318_port_picture_objects>)
set_target_properties(ks318_archive PROPERTIES OUTPUT_NAME ks318 EXPORT_NAME ks318_static)
target_include_directories(ks318_archive INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                                   $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(ks318_archive INTERFACE Threads::Threads ${KS318_STATIC_DEPS_LIBRARIES} stdc++ m)
add_library(KS318::ks318_static ALIAS ks318_archive)

# A shared library is read, not run: 0644, as Debian's are.
install(TARGETS ks318 EXPORT KS318Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libks318 NAMELINK_COMPONENT libks318-dev
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(TARGETS ks318_archive EXPORT KS318Targets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libks318-dev)
# The installed archive keeps its symbols and loses its debug information, as
# dh_strip leaves a static library: it is most of its size.
if(CMAKE_STRIP)
  install(CODE "execute_process(COMMAND ${CMAKE_STRIP} --strip-debug --remove-section=.comment
    --remove-section=.note --enable-deterministic-archives
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/libks318.a\" COMMAND_ERROR_IS_FATAL ANY)"
    COMPONENT libks318-dev)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/include/ks318.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT libks318-dev)
install(EXPORT KS318Targets NAMESPACE KS318:: DESTINATION ${KS318_CMAKE_DIR} COMPONENT libks318-dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KS318Config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/KS318Config.cmake INSTALL_DESTINATION ${KS318_CMAKE_DIR})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KS318ConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KS318Config.cmake ${CMAKE_CURRENT_BINARY_DIR}/KS318ConfigVersion.cmake
  DESTINATION ${KS318_CMAKE_DIR} COMPONENT libks318-dev)

# ks318.pc finds its prefix from where it lies, so the tree can be installed
# anywhere. The header needs nothing; a static link needs what the archive
# links, named as plain -l flags so that a shared link needs no other package.
file(RELATIVE_PATH KS318_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
list(TRANSFORM KS318_STATIC_DEPS_LIBRARIES PREPEND -l OUTPUT_VARIABLE KS318_PC_LIBS_PRIVATE)
list(JOIN KS318_PC_LIBS_PRIVATE " " KS318_PC_LIBS_PRIVATE)
configure_file(${CMAKE_CURRENT_LIST_DIR}/ks318.pc.in ${CMAKE_CURRENT_BINARY_DIR}/ks318.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ks318.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT libks318-dev)

set(KS318_PACKAGES libks318 libks318-dev)
if(TARGET ks318-term)
  # Installed, the programs find the library beside their own folder.
  set_target_properties(ks318-console ks318-web ks318-bridge PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS ks318-term ks318-console RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ks318-tools)
  list(APPEND KS318_PACKAGES ks318-tools)
endif()

# Only for KS318's own build, not when another project builds it within its own.
if(PROJECT_IS_TOP_LEVEL)
  include(${PROJECT_SOURCE_DIR}/packaging/Packaging.cmake)
endif()
