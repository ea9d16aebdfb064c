# Installation: what "cmake --install" puts where, and what the Debian
# packages (debian/) are made from: velmario (the client, its menu entry,
# icons, AppStream metadata and manual page) and velmario-server (the server,
# its systemd unit and options file, manual page and an example CSV).
include(GNUInstallDirs)

set(VELMARIO_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes (relative to the installation prefix, or absolute)")

install(TARGETS velmario RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES packaging/org.velmario.Velmario.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/org.velmario.Velmario.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size 16 32)
  install(FILES resources/icon${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME org.velmario.Velmario.png)
endforeach()
install(FILES resources/icon.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME org.velmario.Velmario.svg)
install(FILES packaging/velmario.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(TARGETS velmario-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES packaging/velmario-server.service DESTINATION ${VELMARIO_SYSTEMD_UNIT_DIR})
install(FILES packaging/velmario-server.default
        DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/default RENAME velmario-server)
install(FILES packaging/velmario-server.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES packaging/directory-example.csv packaging/velmario.rules.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velmario-server/examples)
