# Debian packages of the station: cpack -G DEB in the build folder makes
# three, one per install component (install.cmake):
#   ufd-station    the programs, udev rules, desktop entry, man pages
#   libsarnik1     the shared library
#   libsarnik-dev  headers, sarnik.pc, the CMake package, the development link
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for a package build.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL station lib dev)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_PACKAGE_NAME ${UFD_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The UFD station developers")
set(CPACK_PACKAGE_CONTACT "UFD station developers <ufd-station@example.com>")
# Each package's description starts with its own synopsis line (a project-wide
# summary would be put in front of every one).
set(_station_summary "USB flash-disk production station")
set(CPACK_PACKAGE_DESCRIPTION
    "The station finds freshly assembled USB flash disks of one controller\n\
family, low-level formats their flash, lays out a loader CD-ROM unit, FAT\n\
partitions and a reserved area, writes the controller's configuration block\n\
and checks it back. Contains the station (galmor), its device-change monitor\n\
(dorvel), a simulated bus (simbus), and udev rules that let members of the\n\
group ${UFD_OPERATOR_GROUP} reach USB disks.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from the binaries (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(_exact "(= ${PROJECT_VERSION})")

# ufd-station: the station loads libsarnik by its SONAME at run time, which
# dpkg-shlibdeps cannot see; addgroup is for the postinst.
set(CPACK_DEBIAN_STATION_PACKAGE_NAME ${UFD_PACKAGE_NAME})
set(CPACK_DEBIAN_STATION_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_STATION_PACKAGE_DEPENDS "adduser, ${UFD_LIB_PACKAGE_NAME} ${_exact}")
set(CPACK_DEBIAN_STATION_PACKAGE_RECOMMENDS "udev")
set(CPACK_COMPONENT_STATION_DESCRIPTION "${_station_summary}\n${CPACK_PACKAGE_DESCRIPTION}")
configure_file(${_pkg}/debian/postinst.in ${_gen}/debian/postinst @ONLY)
configure_file(${_pkg}/debian/postrm.in ${_gen}/debian/postrm @ONLY)
set(CPACK_DEBIAN_STATION_PACKAGE_CONTROL_EXTRA ${_gen}/debian/postinst ${_gen}/debian/postrm)

# libsarnik1: the shared library, its shlibs file and the ldconfig trigger.
set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${UFD_LIB_PACKAGE_NAME})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${_pkg}/debian/triggers)
# CPack gives a library package maintainer scripts that run ldconfig; the
# trigger does that job, so they are taken out of the finished package.
set(CPACK_POST_BUILD_SCRIPTS ${_pkg}/deb_post.cmake)
set(CPACK_COMPONENT_LIB_DESCRIPTION
    "command library of the USB flash-disk production station\n\
libsarnik turns flat C calls into SCSI requests for USB flash disks of one\n\
controller family: unit opening, standard and vendor commands, device and\n\
volume services, on Linux or on a simulated bus.")

# libsarnik-dev: what a program built against the library needs.
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${UFD_DEV_PACKAGE_NAME})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${UFD_LIB_PACKAGE_NAME} ${_exact}")
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "command library of the USB flash-disk station - development files\n\
The C headers of libsarnik (plain C99), its pkg-config file, its CMake\n\
package (find_package(sarnik), target sarnik::sarnik) and the development\n\
link.")

# The Debian changelog of a native package, compressed as policy wants; the
# date is the last commit's (or SOURCE_DATE_EPOCH), so builds are repeatable.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(_epoch $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE _epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT _epoch)
    set(_epoch 0)
  endif()
endif()
execute_process(COMMAND date -u -R -d @${_epoch} OUTPUT_VARIABLE UFD_CHANGELOG_DATE
                OUTPUT_STRIP_TRAILING_WHITESPACE)
configure_file(${_pkg}/debian/changelog.in ${_gen}/debian/changelog @ONLY)
if(UFD_GZIP)
  add_custom_command(OUTPUT ${_gen}/debian/changelog.gz
                     COMMAND ${UFD_GZIP} -9nc ${_gen}/debian/changelog > ${_gen}/debian/changelog.gz
                     DEPENDS ${_gen}/debian/changelog)
  add_custom_target(deb_changelog ALL DEPENDS ${_gen}/debian/changelog.gz)
  install(FILES ${_gen}/debian/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${UFD_PACKAGE_NAME}
          COMPONENT station)
  install(FILES ${_gen}/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${UFD_LIB_PACKAGE_NAME} COMPONENT lib)
  install(FILES ${_gen}/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${UFD_DEV_PACKAGE_NAME} COMPONENT dev)
endif()

include(CPack)
