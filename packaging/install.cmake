# Install rules (GNU folders) and the Debian package.
#
#   <bindir>    galmor, dorvel (side by side: the station starts the monitor
#               from its own folder), simbus
#   <libdir>    libsarnik.so.<version>, its SONAME link, the development link,
#               pkgconfig/sarnik.pc, cmake/sarnik/ (find_package(sarnik))
#   <includedir> sarnik.h, sarnik_files.h
#   lib/udev/rules.d, share/applications, share/icons, share/man/man1, share/doc
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
  install(TARGETS ${_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET galmor)
  # RUNPATH rather than RPATH: LD_LIBRARY_PATH still wins, as users expect.
  target_link_options(galmor PRIVATE -Wl,--enable-new-dtags)
endif()

# ---- the library ----------------------------------------------------------

if(TARGET sarnik)
  target_include_directories(sarnik PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  install(TARGETS sarnik EXPORT sarnikTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Unspecified
          PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  set(_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/sarnik)
  install(EXPORT sarnikTargets NAMESPACE sarnik:: DESTINATION ${_cmakedir})
  configure_package_config_file(${_pkg}/sarnikConfig.cmake.in ${_gen}/sarnikConfig.cmake
                                INSTALL_DESTINATION ${_cmakedir})
  write_basic_package_version_file(${_gen}/sarnikConfigVersion.cmake
                                   VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${_gen}/sarnikConfig.cmake ${_gen}/sarnikConfigVersion.cmake DESTINATION ${_cmakedir})

  # pkg-config: paths relative to the file's own place, so the tree can move.
  file(RELATIVE_PATH _pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" _pc_to_prefix "${_pc_to_prefix}")
  set(SARNIK_PC_PREFIX "\${pcfiledir}/${_pc_to_prefix}")
  configure_file(${_pkg}/sarnik.pc.in ${_gen}/sarnik.pc @ONLY)
  install(FILES ${_gen}/sarnik.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
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
install(FILES ${_gen}/70-galmor.rules DESTINATION ${UFD_UDEV_RULES_DIR})
if(TARGET galmor)
  install(FILES ${_pkg}/galmor.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${_pkg}/icons/galmor.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
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
  add_custom_target(manpages ALL DEPENDS ${_pages})
  install(FILES ${_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# ---- documentation of the package -----------------------------------------

install(FILES ${_pkg}/debian/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${UFD_PACKAGE_NAME})

# ---- Debian package (cpack -G DEB) ----------------------------------------

include(${_pkg}/deb.cmake)
