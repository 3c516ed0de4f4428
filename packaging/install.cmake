# Install rules (GNU folders) and the Debian packages, one install component
# per package:
#
#   station (ufd-station)
#     <bindir>    galmor, dorvel (side by side: the station starts the monitor
#                 from its own folder), simbus
#     lib/udev/rules.d, share/applications, share/icons, share/man/man1 and man5
#   lib (libsarnik1)
#     <libdir>    libsarnik.so.<version> and its SONAME link
#   dev (libsarnik-dev)
#     <libdir>    the development link libsarnik.so, pkgconfig/sarnik.pc,
#                 cmake/sarnik/ (find_package(sarnik))
#     <includedir> sarnik.h, sarnik_files.h
#   each: share/doc/<package>/copyright and changelog.gz
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(UFD_PACKAGE_NAME ufd-station)
set(UFD_UDEV_RULES_DIR lib/udev/rules.d
    CACHE STRING "udev rules folder (relative to the install prefix unless absolute)")

set(_pkg ${CMAKE_CURRENT_LIST_DIR})
set(_gen ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${_gen})

# ---- programs -------------------------------------------------------------

# An installed galmor loads libsarnik by its SONAME. Where the library folder
# is not one the loader searches anyway, the program carries a RUNPATH relative
# to itself, so a tree installed under any prefix (or moved whole) works.
list(FIND CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" _libdir_is_system)
if(_libdir_is_system EQUAL -1)
  file(RELATIVE_PATH _bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set(_runpath "$ORIGIN/${_bin_to_lib}")
else()
  set(_runpath "")
endif()

set(_programs)
foreach(prog galmor dorvel simbus)
  if(TARGET ${prog})
    list(APPEND _programs ${prog})
    set_target_properties(${prog} PROPERTIES INSTALL_RPATH "${_runpath}")
  endif()
endforeach()
if(TARGET galmor AND NOT TARGET dorvel)
  message(STATUS "dorvel is not part of this build; it is not installed")
endif()
if(_programs)
  install(TARGETS ${_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT station)
endif()
if(TARGET galmor)
  # RUNPATH rather than RPATH: LD_LIBRARY_PATH still wins, as users expect.
  target_link_options(galmor PRIVATE -Wl,--enable-new-dtags)
endif()

# ---- the library ----------------------------------------------------------

if(TARGET sarnik)
  target_include_directories(sarnik PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  install(TARGETS sarnik EXPORT sarnikTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
          PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
  set(_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/sarnik)
  install(EXPORT sarnikTargets NAMESPACE sarnik:: DESTINATION ${_cmakedir} COMPONENT dev)
  configure_package_config_file(${_pkg}/sarnikConfig.cmake.in ${_gen}/sarnikConfig.cmake
                                INSTALL_DESTINATION ${_cmakedir})
  write_basic_package_version_file(${_gen}/sarnikConfigVersion.cmake
                                   VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${_gen}/sarnikConfig.cmake ${_gen}/sarnikConfigVersion.cmake DESTINATION ${_cmakedir}
          COMPONENT dev)

  # pkg-config: paths relative to the file's own place, so the tree can move.
  file(RELATIVE_PATH _pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" _pc_to_prefix "${_pc_to_prefix}")
  set(SARNIK_PC_PREFIX "\${pcfiledir}/${_pc_to_prefix}")
  configure_file(${_pkg}/sarnik.pc.in ${_gen}/sarnik.pc @ONLY)
  install(FILES ${_gen}/sarnik.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endif()

# ---- udev rules, desktop entry, icon --------------------------------------

# USB ids that a site's recipe gives its finished units ("vvvv:pppp", hex).
set(UFD_FAMILY_USB_IDS "" CACHE STRING
    "USB ids (vvvv:pppp;...) of finished units whose nodes the operators' group gets")
set(UFD_FAMILY_USB_ID_RULES "")
foreach(_id IN LISTS UFD_FAMILY_USB_IDS)
  string(TOLOWER "${_id}" _id)
  if(NOT _id MATCHES "^([0-9a-f][0-9a-f][0-9a-f][0-9a-f]):([0-9a-f][0-9a-f][0-9a-f][0-9a-f])$")
    message(FATAL_ERROR "UFD_FAMILY_USB_IDS: \"${_id}\" is not vvvv:pppp (hexadecimal)")
  endif()
  string(APPEND UFD_FAMILY_USB_ID_RULES
         "SUBSYSTEMS==\"usb\", ATTRS{idVendor}==\"${CMAKE_MATCH_1}\", "
         "ATTRS{idProduct}==\"${CMAKE_MATCH_2}\", GOTO=\"galmor_family\"\n")
endforeach()
configure_file(${_pkg}/udev/70-galmor.rules.in ${_gen}/70-galmor.rules @ONLY)
install(FILES ${_gen}/70-galmor.rules DESTINATION ${UFD_UDEV_RULES_DIR} COMPONENT station)
if(TARGET galmor)
  install(FILES ${_pkg}/galmor.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
          COMPONENT station)
  install(FILES ${_pkg}/icons/galmor.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT station)
endif()

# ---- man pages (from each program's --help) -------------------------------

find_program(UFD_HELP2MAN help2man)
find_program(UFD_GZIP gzip)
option(UFD_MANPAGES "Build man pages from the programs' --help (needs help2man)" ON)
if(UFD_SANITIZE OR UFD_TSAN)
  # Sanitizer builds are for tests; their programs are not run at build time.
elseif(UFD_MANPAGES AND NOT (UFD_HELP2MAN AND UFD_GZIP))
  message(WARNING "help2man or gzip is missing: no man pages (scripts/setup.sh installs them)")
elseif(UFD_MANPAGES)
  set(_name_galmor "USB flash-disk production station")
  set(_name_dorvel "device-change monitor of the USB flash-disk station")
  set(_name_simbus "simulated bus of USB flash disks")
  set(_pages)
  foreach(prog ${_programs})
    set(_page ${_gen}/man/${prog}.1)
    set(_extra ${_pkg}/man/${prog}.h2m)
    set(_include)
    if(EXISTS ${_extra})
      set(_include --include=${_extra})
    endif()
    add_custom_command(
      OUTPUT ${_page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${_gen}/man
      COMMAND ${UFD_HELP2MAN} --no-info --no-discard-stderr --section=1
              --version-string=${PROJECT_VERSION} "--name=${_name_${prog}}" ${_include}
              --output=${_page} $<TARGET_FILE:${prog}>
      COMMAND ${UFD_GZIP} -9nf ${_page}
      DEPENDS ${prog} ${_extra}
      COMMENT "Man page of ${prog}"
      VERBATIM)
    list(APPEND _pages ${_page}.gz)
  endforeach()
  # The recipe's format.
  set(_recipe_page ${_gen}/man/Product.ini.5)
  add_custom_command(
    OUTPUT ${_recipe_page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_gen}/man
    COMMAND ${UFD_GZIP} -9nc ${_pkg}/man/Product.ini.5 > ${_recipe_page}.gz
    DEPENDS ${_pkg}/man/Product.ini.5
    COMMENT "Man page of Product.ini")
  add_custom_target(manpages ALL DEPENDS ${_pages} ${_recipe_page}.gz)
  install(FILES ${_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT station)
  install(FILES ${_recipe_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5 COMPONENT station)
endif()

# ---- documentation of the package -----------------------------------------

# Each package carries its copyright and changelog (deb.cmake adds the
# changelog); the report's schema goes with the station.
set(UFD_LIB_PACKAGE_NAME libsarnik${SARNIK_SOVERSION})
set(UFD_DEV_PACKAGE_NAME libsarnik-dev)
install(FILES ${_pkg}/debian/copyright ${PROJECT_SOURCE_DIR}/docs/report.schema.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${UFD_PACKAGE_NAME} COMPONENT station)
install(FILES ${_pkg}/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${UFD_LIB_PACKAGE_NAME} COMPONENT lib)
install(FILES ${_pkg}/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${UFD_DEV_PACKAGE_NAME} COMPONENT dev)

# ---- Debian package (cpack -G DEB) ----------------------------------------

include(${_pkg}/deb.cmake)
