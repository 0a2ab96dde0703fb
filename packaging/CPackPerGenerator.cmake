# The .deb installs under /usr; the tarball is the bare tree (bin/, share/) under one top folder.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
else()
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
endif()
