# What `./run package` makes with CPack, into dist/, from the version of the project() call:
#   the Windows build   KorvaneCDVD-<version>-win32.zip: both plugin DLLs, the player, a
#                       short guide for emulator users, the project's licence and the
#                       licences of what is linked in (the guide and the licence with CR LF
#                       line ends, for Notepad)
#   the release build   a Debian package per install component:
#                         korvane-server_<version>_<arch>.deb: the disc server, its systemd
#                         unit (an instance per port) and a sample configuration for port
#                         35000
#                         korvane-mount_<version>_<arch>.deb: the FUSE mount
#                       each with its manual page, copyright and changelog under /usr/share
set(CPACK_PACKAGE_NAME KorvaneCDVD)
set(CPACK_PACKAGE_VENDOR KorvaneCDVD)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "PS2 disc sectors from an image, a disc server or a cache")
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_SOURCE_DIR}/dist)
set(korvane_packaging ${PROJECT_SOURCE_DIR}/packaging)
# What packaging makes from the files in packaging/ before they are installed.
set(korvane_made ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${korvane_made})

if(WIN32)
  install(TARGETS KorvaneCDVD KorvaneCDVD-titled KorvanePlayer
          RUNTIME DESTINATION . LIBRARY DESTINATION .)
  # Texts for Windows users, with CR LF line ends whatever the checkout's; made again when
  # their sources change.
  foreach(text packaging/USER-GUIDE.txt:USER-GUIDE.txt LICENSE:LICENSE.txt)
    string(REPLACE ":" ";" parts ${text})
    list(GET parts 0 source)
    list(GET parts 1 name)
    file(READ ${PROJECT_SOURCE_DIR}/${source} content)
    string(REPLACE "\r\n" "\n" content "${content}")
    string(REPLACE "\n" "\r\n" content "${content}")
    file(WRITE ${korvane_made}/${name} "${content}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${source})
    install(FILES ${korvane_made}/${name} DESTINATION .)
  endforeach()
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
  # Manual pages and the changelog are shipped gzipped, as Debian does: -n keeps the name
  # and time out, so the same text makes the same bytes. Gzipped when cmake runs, which a
  # build of any target makes happen again once the source has changed: cpack builds
  # nothing itself.
  function(korvane_gzip source name)
    execute_process(COMMAND gzip -9n -c ${source} OUTPUT_FILE ${korvane_made}/${name}
                    COMMAND_ERROR_IS_FATAL ANY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  endfunction()

  # A package's documents: its copyright, the changelog, and its manual page when
  # packaging/man holds one (SECTION: 1 or 8).
  function(korvane_package_documents component package section)
    install(FILES ${korvane_packaging}/copyright ${korvane_made}/changelog.Debian.gz
            DESTINATION share/doc/${package} COMPONENT ${component})
    set(page ${korvane_packaging}/man/${package}.${section})
    if(EXISTS ${page})
      korvane_gzip(${page} ${package}.${section}.gz)
      install(FILES ${korvane_made}/${package}.${section}.gz DESTINATION share/man/man${section}
              COMPONENT ${component})
    else()
      message(STATUS "No manual page ${page}: the ${package} package goes without one")
    endif()
    # A manual page added later is packaged after cmake runs again, which this makes happen.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${korvane_packaging}/man)
  endfunction()

  korvane_gzip(${korvane_packaging}/changelog changelog.Debian.gz)

  install(TARGETS korvane-server RUNTIME DESTINATION bin COMPONENT server)
  install(FILES ${korvane_packaging}/korvane-server@.service
          DESTINATION lib/systemd/system COMPONENT server)
  install(FILES ${korvane_packaging}/korvane-server.conf
          DESTINATION /etc/korvane RENAME 35000.conf COMPONENT server)
  korvane_package_documents(server korvane-server 8)
  set(CPACK_COMPONENTS_ALL server)
  if(TARGET korvane-mount)
    install(TARGETS korvane-mount RUNTIME DESTINATION bin COMPONENT mount)
    korvane_package_documents(mount korvane-mount 1)
    list(APPEND CPACK_COMPONENTS_ALL mount)
  endif()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "KorvaneCDVD developers")
  set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_MOUNT_PACKAGE_SECTION otherosfs)
  # Debian ships its programs without their symbol tables.
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Each package's description is its own, summary line first: no summary common to both.
  unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
  # Depends: the packages of the shared libraries each program needs (the package test
  # checks them against the program), and what else it runs.
  set(CPACK_DEBIAN_SERVER_PACKAGE_NAME korvane-server)
  set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6, zlib1g, adduser")
  string(CONCAT CPACK_DEBIAN_SERVER_DESCRIPTION
         "disc server for the KorvaneCDVD plugin\n"
         "Serves the PS2 disc images of a folder to the KorvaneCDVD plugin over TCP.")
  set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA ${korvane_packaging}/postinst
      ${korvane_packaging}/prerm ${korvane_packaging}/conffiles)
  set(CPACK_DEBIAN_MOUNT_PACKAGE_NAME korvane-mount)
  set(CPACK_DEBIAN_MOUNT_PACKAGE_DEPENDS
      "fuse3, libc6, libfuse3-3, libgcc-s1, libstdc++6, zlib1g")
  string(CONCAT CPACK_DEBIAN_MOUNT_DESCRIPTION
         "KorvaneCDVD disc server's discs as a folder of image files\n"
         "Mounts the discs of a KorvaneCDVD disc server, or the block caches of a\n"
         "folder, as a read-only folder of PS2 disc images (FUSE), for emulators that\n"
         "open image files. Sectors are fetched once and kept in the cache that the\n"
         "plugin uses.")
endif()

include(CPack)
