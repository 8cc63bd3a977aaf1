# The services of ks318-web and ks318-bridge: their units, the system user they
# run as (sysusers.d, made by the package's postinst), and their settings in
# ks318/ under the configuration folder. Units and sysusers.d go where systemd
# looks for a package's own: /usr/lib/systemd/system and /usr/lib/sysusers.d.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/systemd/ks318-web.service ${CMAKE_CURRENT_LIST_DIR}/systemd/ks318-bridge.service
  DESTINATION lib/systemd/system COMPONENT ks318-tools)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/systemd/ks318.sysusers DESTINATION lib/sysusers.d RENAME ks318.conf
  COMPONENT ks318-tools)
# The settings go to /etc for the /usr prefix (the packages', whose files cpack
# installs under <its root>/usr) and to <prefix>/etc otherwise, as GNUInstallDirs
# places the configuration folder; decided when installing, where the prefix is known.
install(CODE "
  if(CMAKE_INSTALL_PREFIX MATCHES \"/usr/?$\")
    cmake_path(SET ks318_etc NORMALIZE \"\${CMAKE_INSTALL_PREFIX}/../etc/ks318\")
  else()
    set(ks318_etc \"\${CMAKE_INSTALL_PREFIX}/etc/ks318\")
  endif()
  file(INSTALL DESTINATION \"\${ks318_etc}\" TYPE FILE
    FILES \"${CMAKE_CURRENT_LIST_DIR}/etc/web.env\" \"${CMAKE_CURRENT_LIST_DIR}/etc/bridge.env\")"
  COMPONENT ks318-tools)
