# Debian package of the whole station: cpack -G DEB in the build folder.
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for a package build.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${UFD_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The UFD station developers")
set(CPACK_PACKAGE_CONTACT "UFD station developers <ufd-station@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "USB flash-disk production station")
set(CPACK_PACKAGE_DESCRIPTION
    "The station finds freshly assembled USB flash disks of one controller\n\
family, low-level formats their flash, lays out a loader CD-ROM unit, FAT\n\
partitions and a reserved area, writes the controller's configuration block\n\
and checks it back. Contains the station (galmor), its device-change monitor\n\
(dorvel), the command library libsarnik with its development files, a\n\
simulated bus (simbus), and udev rules that let members of the group\n\
${UFD_OPERATOR_GROUP} reach USB disks.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from the binaries (dpkg-shlibdeps); addgroup is
# for the postinst.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
# The shlibs file and the ldconfig trigger of libsarnik.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

configure_file(${_pkg}/debian/postinst.in ${_gen}/debian/postinst @ONLY)
configure_file(${_pkg}/debian/postrm.in ${_gen}/debian/postrm @ONLY)
# One package holds the library and its development files: the station, the
# monitor and a floor's own programs are released together.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_gen}/debian/postinst ${_gen}/debian/postrm
                                       ${_pkg}/debian/triggers)

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
  install(FILES ${_gen}/debian/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${UFD_PACKAGE_NAME})
endif()

include(CPack)
