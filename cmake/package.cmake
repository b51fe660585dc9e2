# The Debian package of everything `cmake --install` puts under the prefix (`make package`, with
# CMAKE_INSTALL_PREFIX=/usr): CPack's DEB generator, its Depends found by dpkg-shlibdeps from the
# programs and the Python module, plus the interpreter and NumPy that the module is built for.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dofmap)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "depth-of-field maps of photographs")
set(CPACK_PACKAGE_DESCRIPTION
  "Turns a photograph into a map that is bright where the photograph holds fine detail and dark where
it is smooth: the programs dofmap and dofmap-batch (maps, figures, XMP sidecars with culling
verdicts, for JPEG, HEIF and RAW photos), the static C++ libraries with their headers, CMake
package and pkg-config file, and the Python module dofmap for /usr/bin/python3.")
set(DOFMAP_PACKAGE_MAINTAINER "dofmap maintainers <maintainers@dofmap.invalid>"
  CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${DOFMAP_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# dofmap_0.1.0_amd64.deb, the architecture being dpkg's.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs and the module without their symbol tables, as Debian ships them (archives keep theirs).
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/cmake/package_checks.cmake)
# The compiled module loads in the interpreter version it was built for only.
set(DOFMAP_PACKAGE_DEPENDS "")
if(TARGET _dofmap)
  math(EXPR DOFMAP_PYTHON_NEXT_MINOR "${Python3_VERSION_MINOR} + 1")
  set(DOFMAP_PACKAGE_DEPENDS
    "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3 (<< ${Python3_VERSION_MAJOR}.${DOFMAP_PYTHON_NEXT_MINOR}), python3-numpy")
  # Byte-compiled on installation and its byte code removed before removal, as Debian's Python
  # packages are: otherwise the __pycache__ an import by root writes is left behind.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/cmake/deb/postinst ${CMAKE_CURRENT_SOURCE_DIR}/cmake/deb/prerm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${DOFMAP_PACKAGE_DEPENDS}")
# What building on the static libraries takes: their headers' OpenCV, and the shared libraries of
# the readers that dofmap.pc and the CMake package name.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
  "libopencv-dev, libjpeg-dev, libraw-dev, libheif-dev, libde265-dev, libexiv2-dev, libdeflate-dev, pkg-config")
include(CPack)
