# What `./run package` makes with CPack, into dist/, from the version of the project() call:
#   the Windows build   KorvaneCDVD-<version>-win32.zip: both plugin DLLs, the player, a
#                       short guide for emulator users and the licences of what is linked in
#   the release build   korvane-server_<version>_<arch>.deb: the disc server, its systemd
#                       unit (an instance per port) and a sample configuration for port 35000
set(CPACK_PACKAGE_NAME KorvaneCDVD)
set(CPACK_PACKAGE_VENDOR KorvaneCDVD)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "PS2 disc sectors from an image, a disc server or a cache")
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_SOURCE_DIR}/dist)

if(WIN32)
  install(TARGETS KorvaneCDVD KorvaneCDVD-titled KorvanePlayer
          RUNTIME DESTINATION . LIBRARY DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/USER-GUIDE.txt DESTINATION .)
  # zlib, the C++ and C runtimes and the mingw-w64 runtime are linked in statically; CLI11
  # is compiled into the player.
  foreach(component libz-mingw-w64-dev:zlib g++-mingw-w64-i686-posix:gcc-runtime
                    mingw-w64-i686-dev:mingw-w64-runtime libcli11-dev:CLI11)
    string(REPLACE ":" ";" parts ${component})
    list(GET parts 0 package)
    list(GET parts 1 name)
    install(FILES /usr/share/doc/${package}/copyright DESTINATION licences RENAME ${name}.txt)
  endforeach()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME KorvaneCDVD-${PROJECT_VERSION}-win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
elseif(KORVANE_SERVER)
  install(TARGETS korvane-server RUNTIME DESTINATION bin)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/korvane-server@.service
          DESTINATION lib/systemd/system)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/korvane-server.conf
          DESTINATION /etc/korvane RENAME 35000.conf)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_NAME korvane-server)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "KorvaneCDVD developers")
  set(CPACK_DEBIAN_PACKAGE_SECTION games)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, zlib1g, adduser")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "disc server for the KorvaneCDVD plugin")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Serves the PS2 disc images of a folder to the KorvaneCDVD plugin over TCP.")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst
      ${PROJECT_SOURCE_DIR}/packaging/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
