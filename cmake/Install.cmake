# What `cmake --install` puts on a machine, and the Debian packages CPack makes of it:
#   qvfw      the command line, the udev rule that gives the bridges to the seat's user and the
#             qvfw group, the sg module loaded at boot (component "cli")
#   qvfw-gui  the window, its desktop entry, icons and AppStream metadata (component "gui");
#             it depends on qvfw for the rule, so the command line's package stays free of Qt.
#
# On the window platform: both programs in one installer (NSIS, with a Start-menu entry for the
# window) and one zip, made by CPack on the build machine.
include(GNUInstallDirs)

set(QVFW_DATA ${PROJECT_SOURCE_DIR}/data)
if(WIN32)
  install(TARGETS qvfw qvfw-gui RUNTIME DESTINATION bin)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/windows.md DESTINATION doc)
  set(CPACK_GENERATOR NSIS ZIP)
  set(CPACK_PACKAGE_NAME qvfw)
  set(CPACK_PACKAGE_VENDOR "qvfw developers")
  set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware update tool for Qavion QV4077x bridge controllers")
  set(CPACK_PACKAGE_FILE_NAME "qvfw-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR}")
  set(CPACK_PACKAGE_INSTALL_DIRECTORY "qvfw")
  set(CPACK_STRIP_FILES ON)
  # The Start-menu entry: bin\qvfw-gui.exe under the window's own name.
  set(CPACK_PACKAGE_EXECUTABLES qvfw-gui "Qavion QV4077x Firmware Update")
  set(CPACK_NSIS_DISPLAY_NAME "Qavion QV4077x Firmware Update ${PROJECT_VERSION}")
  set(CPACK_NSIS_PACKAGE_NAME "Qavion QV4077x Firmware Update")
  set(CPACK_NSIS_INSTALLED_ICON_NAME bin\\qvfw-gui.exe)
  set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  endif()
  include(CPack)
  return()
endif()
# udev, systemd and the modules loader read these below the prefix, never below a multiarch
# library folder.
set(QVFW_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Where the udev rule goes, relative to the prefix")
set(QVFW_MODULES_LOAD_DIR "lib/modules-load.d" CACHE STRING "Where the module list goes, relative to the prefix")

install(TARGETS qvfw RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
install(FILES ${QVFW_DATA}/udev/70-qvfw.rules DESTINATION ${QVFW_UDEV_RULES_DIR} COMPONENT cli)
install(FILES ${QVFW_DATA}/modules-load/qvfw.conf DESTINATION ${QVFW_MODULES_LOAD_DIR} COMPONENT cli)

if(QVFW_BUILD_GUI)
  install(TARGETS qvfw-gui RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
  install(FILES ${QVFW_DATA}/qvfw-gui.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT gui)
  configure_file(${QVFW_DATA}/qvfw-gui.metainfo.xml ${CMAKE_BINARY_DIR}/data/qvfw-gui.metainfo.xml @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/data/qvfw-gui.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
          COMPONENT gui)
  install(FILES ${QVFW_DATA}/icons/qvfw-gui.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
          COMPONENT gui)
  # The PNG sizes are rendered from the SVG (rsvg-convert -w N -h N) and kept beside it.
  foreach(size 16 32 48 64 128 256)
    install(FILES ${QVFW_DATA}/icons/qvfw-gui-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME qvfw-gui.png COMPONENT gui)
  endforeach()
endif()

# Manual pages and shell completion are generated from the command line's own description into
# ${QVFW_GENERATED_DOCS} by the build; they are installed when the build has made them:
#   man/qvfw.1.gz, man/qvfw-gui.1.gz   (compressed with gzip -9n)
#   completion/qvfw                    (bash)
#   completion/_qvfw                   (zsh)
set(QVFW_GENERATED_DOCS ${CMAKE_BINARY_DIR}/docs)
# (checked at install time, so that a build without them installs no empty folders)
function(qvfw_install_if_built file destination component)
  install(CODE "if(EXISTS \"${QVFW_GENERATED_DOCS}/${file}\")
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${destination}\" TYPE FILE
       FILES \"${QVFW_GENERATED_DOCS}/${file}\")
endif()" COMPONENT ${component})
endfunction()
qvfw_install_if_built(man/qvfw.1.gz ${CMAKE_INSTALL_MANDIR}/man1 cli)
qvfw_install_if_built(completion/qvfw ${CMAKE_INSTALL_DATADIR}/bash-completion/completions cli)
qvfw_install_if_built(completion/_qvfw ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions cli)
if(QVFW_BUILD_GUI)
  qvfw_install_if_built(man/qvfw-gui.1.gz ${CMAKE_INSTALL_MANDIR}/man1 gui)
endif()

# --- Debian packages ---------------------------------------------------------------------------
# Whoever publishes the packages puts their own address here.
set(QVFW_MAINTAINER "qvfw developers <qvfw@qvfw.invalid>" CACHE STRING "Maintainer of the Debian packages")
set(QVFW_PACKAGES cli)
if(QVFW_BUILD_GUI)
  list(APPEND QVFW_PACKAGES gui)
endif()
# Each package carries its copyright and a compressed changelog, as Debian asks of every package.
foreach(component ${QVFW_PACKAGES})
  if(component STREQUAL "cli")
    set(QVFW_PACKAGE_NAME qvfw)
  else()
    set(QVFW_PACKAGE_NAME qvfw-gui)
  endif()
  set(changelog ${CMAKE_BINARY_DIR}/data/${QVFW_PACKAGE_NAME}/changelog)
  configure_file(${QVFW_DATA}/debian/changelog.in ${changelog} @ONLY)
  add_custom_command(OUTPUT ${changelog}.gz COMMAND gzip -9nkf ${changelog} DEPENDS ${changelog} VERBATIM)
  add_custom_target(qvfw_changelog_${component} ALL DEPENDS ${changelog}.gz)
  install(FILES ${changelog}.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${QVFW_PACKAGE_NAME} COMPONENT ${component})
  install(FILES ${QVFW_DATA}/debian/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${QVFW_PACKAGE_NAME}
          COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qvfw)
set(CPACK_PACKAGE_VENDOR "qvfw developers")
set(CPACK_PACKAGE_CONTACT "${QVFW_MAINTAINER}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_COMPONENTS_ALL ${QVFW_PACKAGES})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_CLI_PACKAGE_NAME qvfw)
set(CPACK_COMPONENT_CLI_DESCRIPTION
    "firmware update tool for Qavion QV4077x bridge controllers\n"
    "Finds the Qavion USB, UASP and IEEE 1394 to SATA bridge controllers\n"
    "attached to the machine, identifies chip, revision and flash, and\n"
    "updates their firmware in one command. It also erases, backs up and\n"
    "programs the flash. A built-in emulated machine lets the tool be tried\n"
    "without hardware.\n"
    ".\n"
    "A udev rule gives the bridges' SCSI generic nodes to the logged-in user\n"
    "and to the qvfw group, so no root is needed.")
string(REPLACE ";" "" CPACK_COMPONENT_CLI_DESCRIPTION "${CPACK_COMPONENT_CLI_DESCRIPTION}")
set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_EXTRA ${QVFW_DATA}/debian/cli/postinst)

set(CPACK_DEBIAN_GUI_PACKAGE_NAME qvfw-gui)
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_GUI_DEPENDS cli)
set(CPACK_COMPONENT_GUI_DESCRIPTION
    "firmware update window for Qavion QV4077x bridge controllers\n"
    "The desktop window of qvfw: a one-click firmware update of the Qavion\n"
    "USB, UASP or IEEE 1394 to SATA bridge attached to the machine, with an\n"
    "engineering panel for erasing, backing up and programming the flash.")
string(REPLACE ";" "" CPACK_COMPONENT_GUI_DESCRIPTION "${CPACK_COMPONENT_GUI_DESCRIPTION}")

include(CPack)
