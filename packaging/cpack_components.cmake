# Read by cpack once per generator: the tarball is the controller's, the
# Debian package the bench's, installed under the prefix qmxhost expects.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_COMPONENTS_ALL bench)
    set(CPACK_PACKAGING_INSTALL_PREFIX ${CPACK_QV5810_DEB_PREFIX})
else()
    set(CPACK_COMPONENTS_ALL controller)
    set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
