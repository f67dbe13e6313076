# What a Debian package of the build holds (cpack -G DEB in the build folder, or
# tools/release): the window, the console, the simulator, a desktop entry and the README.
include(GNUInstallDirs)
install(TARGETS quendal-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET quendal-devsim)
  install(TARGETS quendal-devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET quendal)
  install(TARGETS quendal RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/quendal.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()

# Debian wants the changelog and the manual pages compressed without a time stamp, so that
# builds repeat.
set(quendal_doc ${CMAKE_BINARY_DIR}/packaging)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${quendal_doc}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${quendal_doc}/changelog)
foreach(page quendal quendal-cli quendal-devsim)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/man/${page}.1 ${quendal_doc}/${page}.1 @ONLY)
  execute_process(COMMAND gzip -9nf ${quendal_doc}/${page}.1)
endforeach()
install(FILES ${quendal_doc}/quendal-cli.1.gz ${quendal_doc}/quendal-devsim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(TARGET quendal)
  install(FILES ${quendal_doc}/quendal.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/copyright
              ${quendal_doc}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quendal)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quendal)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Orvelle Devices, Inc")
set(CPACK_PACKAGE_CONTACT "Orvelle Devices Inc <support@orvelle.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "firmware updater for Orvelle instruments and SDI-12 sensors")
set(CPACK_PACKAGE_DESCRIPTION
    "Quendal updates the firmware of Orvelle's battery-powered field and laboratory\n\
instruments, and of the SDI-12 digital sensors attached to them through a comm\n\
device, over a serial port. It keeps each device's settings across the update.\n\
The package holds the window (quendal), the console program for scripts and\n\
stations (quendal-cli) and a simulated device to try them on (quendal-devsim).\n\
.\n\
Serial ports belong to the dialout group: a user must be a member of it\n\
(sudo adduser USER dialout, then log in again) to update a device.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://www.orvelle.com)
# The Qt and C++ runtime packages, read from the programs' own library needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)
