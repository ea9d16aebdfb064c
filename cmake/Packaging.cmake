# Installation and the Debian packages: velmario (the client) and
# velmario-server (the server, its unit, manual page and an example CSV).
include(GNUInstallDirs)

install(TARGETS velmario RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
install(FILES packaging/org.velmario.Velmario.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT client)
install(FILES packaging/org.velmario.Velmario.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT client)
foreach(size 16 32)
  install(FILES resources/icon${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME org.velmario.Velmario.png COMPONENT client)
endforeach()

install(TARGETS velmario-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
install(FILES packaging/velmario-server.service
        DESTINATION lib/systemd/system COMPONENT server)
install(FILES packaging/velmario-server.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT server)
install(FILES packaging/directory-example.csv
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velmario-server/examples COMPONENT server)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmario)
set(CPACK_PACKAGE_VENDOR "Velmario")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Velmario <equipo@velmario.org>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME velmario)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION net)
# Qt loads its platform plugin and the layouts need Arial's metrics: neither
# shows up as a linked library.
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "fonts-liberation, qt6-qpa-plugins")
set(CPACK_COMPONENT_CLIENT_DESCRIPTION
  "Telephone directory client\n Looks people up by control number in a directory held by a lookup server.")
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME velmario-server)
set(CPACK_COMPONENT_SERVER_DESCRIPTION
  "Telephone directory lookup server\n Answers Velmario lookups on TCP port 1007 from an SQLite directory.")
include(CPack)
