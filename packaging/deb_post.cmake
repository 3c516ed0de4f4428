# Run by cpack after the packages are built (CPACK_POST_BUILD_SCRIPTS): the
# library package loses the postinst and postrm that CPack writes for every
# package holding a shared library (they only run ldconfig, which the
# package's ldconfig trigger does already).
foreach(_deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(_name ${_deb} NAME)
  if(NOT _name MATCHES "^libsarnik[0-9]+_.*\\.deb$")
    continue()
  endif()
  set(_tree ${_deb}.tree)
  file(REMOVE_RECURSE ${_tree})
  execute_process(COMMAND dpkg-deb -R ${_deb} ${_tree} RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${_deb} failed")
  endif()
  file(REMOVE ${_tree}/DEBIAN/postinst ${_tree}/DEBIAN/postrm)
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build ${_tree} ${_deb}
                  RESULT_VARIABLE _rc OUTPUT_QUIET)
  file(REMOVE_RECURSE ${_tree})
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb --build ${_deb} failed")
  endif()
endforeach()
