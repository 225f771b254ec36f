# The Debian package: `cmake --build <build> --target package` writes
# corvale-player_<version>_<arch>.deb. The player and its program data folder live in
# /usr/lib/corvale-player/ (the player finds the data beside its real path), with a link
# in /usr/bin, the desktop entry, the hicolor icons drawn by skin-gen, the AppStream
# metadata, the manual page and the copyright file. The station simulator stays out.
include(GNUInstallDirs)
set(CORVALE_PKG_DIR ${CMAKE_BINARY_DIR}/package-files)
set(CORVALE_LIBEXEC lib/corvale-player)

# Files made at build time: the icons, the compressed manual page and changelog.
add_custom_command(OUTPUT ${CORVALE_PKG_DIR}/icons/256x256/apps/corvale-player.png
  COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0 $<TARGET_FILE:skin-gen> --icons
    ${CORVALE_PKG_DIR}/icons
  DEPENDS skin-gen
  COMMENT "Drawing the application icons")
add_custom_command(OUTPUT ${CORVALE_PKG_DIR}/corvale-player.1.gz ${CORVALE_PKG_DIR}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CORVALE_PKG_DIR}
  # The shell redirects (no VERBATIM); -n keeps the file the same from build to build.
  COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/corvale-player.1 > ${CORVALE_PKG_DIR}/corvale-player.1.gz
  COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/changelog > ${CORVALE_PKG_DIR}/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/corvale-player.1 ${CMAKE_SOURCE_DIR}/packaging/changelog)
add_custom_target(package_files ALL DEPENDS ${CORVALE_PKG_DIR}/icons/256x256/apps/corvale-player.png
  ${CORVALE_PKG_DIR}/corvale-player.1.gz ${CORVALE_PKG_DIR}/changelog.gz)

set(CORVALE_READ OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(TARGETS corvale-player RUNTIME DESTINATION ${CORVALE_LIBEXEC})
# Installed as targets, so that the package's strip step reaches them.
install(TARGETS audiolib_bass audiolib_bass_aac audiolib_bassopus LIBRARY DESTINATION ${CORVALE_LIBEXEC}/data
  PERMISSIONS ${CORVALE_READ})
install(DIRECTORY ${CORVALE_DATA_DIR}/ DESTINATION ${CORVALE_LIBEXEC}/data
  FILE_PERMISSIONS ${CORVALE_READ}
  FILES_MATCHING PATTERN "*.json" PATTERN "*.png" PATTERN "*.otf" PATTERN "*.md" PATTERN "*.html" PATTERN "*.css")
# A relative link, so the unpacked tree works from any root.
install(CODE "file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
  file(CREATE_LINK ../${CORVALE_LIBEXEC}/corvale-player \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/corvale-player\" SYMBOLIC)")
install(FILES ${CMAKE_SOURCE_DIR}/data/corvale-player.desktop DESTINATION share/applications)
install(DIRECTORY ${CORVALE_PKG_DIR}/icons/ DESTINATION share/icons/hicolor)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/org.corvale.player.metainfo.xml DESTINATION share/metainfo)
install(FILES ${CORVALE_PKG_DIR}/corvale-player.1.gz DESTINATION share/man/man1)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${CORVALE_PKG_DIR}/changelog.gz
  DESTINATION share/doc/corvale-player)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvale-player)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "Corvale Productions <packages@corvale.org>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://corvale.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# CPack indents the lines after the summary itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "internet radio player for one station
Corvale Player plays the streams of one radio station and starts playing at
once. It shows what is playing in the window title, in a small VU meter window
and in an information window, measures the loudness of every title and can
steer the volume towards a fixed target. It plays through the desktop's sound
server (PulseAudio or PipeWire) or ALSA.")
include(CPack)
