# Install rules beyond the programs' own and the two packages: a .deb for the package manager and
# a relocatable tarball of the same tree for a user-local install (scripts/package builds both).
set(SELVINA_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)

configure_file(${SELVINA_PACKAGING}/pl.korlund.selvinavoice.metainfo.xml
  ${CMAKE_BINARY_DIR}/packaging/pl.korlund.selvinavoice.metainfo.xml @ONLY)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/build-number "${SELVINA_BUILD_NUMBER}\n")
install(FILES ${CMAKE_BINARY_DIR}/packaging/pl.korlund.selvinavoice.metainfo.xml DESTINATION share/metainfo)
install(FILES ${CMAKE_BINARY_DIR}/packaging/build-number DESTINATION share/selvina-voice)
install(FILES ${SELVINA_PACKAGING}/selvina-voice-autostart.desktop DESTINATION share/selvina-voice/autostart
  RENAME selvina-voice.desktop)
install(PROGRAMS ${SELVINA_PACKAGING}/selvina-voice-launch DESTINATION share/selvina-voice)
install(FILES ${SELVINA_PACKAGING}/copyright DESTINATION share/doc/selvina-voice)
# The package's changelog: one entry per build, compressed as Debian wants it.
string(TIMESTAMP SELVINA_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/changelog.Debian
  "selvina-voice (${PROJECT_VERSION}-${SELVINA_BUILD_NUMBER}) unstable; urgency=medium\n\n"
  "  * Build ${SELVINA_BUILD_NUMBER} of Selvina Voice ${PROJECT_VERSION}.\n\n"
  " -- Korlund <selvina@korlund.pl>  ${SELVINA_PACKAGE_DATE}\n")
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/packaging/changelog.Debian)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz DESTINATION share/doc/selvina-voice)
# The sidecar's production dependencies, laid out by scripts/package.
install(DIRECTORY ${CMAKE_BINARY_DIR}/sidecar-production/node_modules DESTINATION share/selvina-voice/Sidecar OPTIONAL)

set(CPACK_PACKAGE_NAME selvina-voice)
set(CPACK_PACKAGE_VENDOR "Korlund")
set(CPACK_PACKAGE_CONTACT "Korlund <selvina@korlund.pl>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "voice assistant for blind and low-vision users")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Selvina Voice lives in the tray and answers in Polish when called with
\"hej Selvina\" or a global shortcut. It reads and operates the window in
front through the accessibility tree, describes the screen, answers about
the computer and hands long tasks to a coding agent.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME "selvina-voice-${PROJECT_VERSION}-${SELVINA_BUILD_NUMBER}")
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/dist)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${SELVINA_BUILD_NUMBER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What a first start needs on a bare system: the sidecar's Node.js, a Polish voice for the sentences
# outside a conversation (spd-say with its espeak-ng module, else espeak-ng alone), the accessibility
# bus, a Secret Service for the keys (gnome-keyring, or KDE's wallet daemon), and the commands of the
# system tools and the prerequisite audit. Then the calendar store, and what makes other desktops'
# parts readable, and npm, which installs the default plug-ins at the first start; last, what a remedy
# of the audit may name.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "nodejs (>= 18.19), speech-dispatcher-espeak-ng | espeak-ng, at-spi2-core, gnome-keyring | libkf5wallet-bin, pulseaudio-utils, iproute2, iputils-ping")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libatk-adaptor, evolution-data-server, upower, npm")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-shell-extension-appindicator, seahorse, pavucontrol")
# Values reach CPackConfig.cmake as written (the description quotes "hej Selvina").
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PROJECT_CONFIG_FILE ${SELVINA_PACKAGING}/CPackPerGenerator.cmake)
include(CPack)
