# What `cmake --install` puts under the prefix: the programs, the core and io libraries with their
# public headers, the CMake package and pkg-config file that find them, man pages and completion;
# of each component only what the build made.
include(CMakePackageConfigHelpers)

set(DOFMAP_LIBRARIES dofmap_core)
# The public headers include one another and OpenCV's only: consumers write <dofmap/focus_map.hpp>.
set(DOFMAP_PUBLIC_HEADERS src/core/focus_map.hpp src/core/cull_figures.hpp src/core/false_color.hpp)
if(DOFMAP_IO)
  list(APPEND DOFMAP_LIBRARIES dofmap_io)
  list(APPEND DOFMAP_PUBLIC_HEADERS src/io/image_io.hpp src/io/image_header.hpp src/io/io_error.hpp src/io/png_writer.hpp
    src/io/raw_reader.hpp)
  install(TARGETS dofmap_opencv_codecs LIBRARY DESTINATION ${DOFMAP_MODULE_DIR})
endif()
if(DOFMAP_PROGRAMS)
  install(TARGETS dofmap dofmap-batch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(TARGETS ${DOFMAP_LIBRARIES} EXPORT dofmapTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${DOFMAP_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dofmap)

set(DOFMAP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/dofmap)
install(EXPORT dofmapTargets NAMESPACE dofmap:: DESTINATION ${DOFMAP_CMAKE_DIR})
configure_package_config_file(cmake/dofmapConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/dofmapConfig.cmake
  INSTALL_DESTINATION ${DOFMAP_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/dofmapConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/dofmapConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/dofmapConfigVersion.cmake
  DESTINATION ${DOFMAP_CMAKE_DIR})

# The pkg-config file finds its prefix from where it lies, so it holds for any --prefix.
file(RELATIVE_PATH DOFMAP_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" DOFMAP_PC_TO_PREFIX "${DOFMAP_PC_TO_PREFIX}")
# The libraries are static: linking them takes the shared libraries the io library uses, with the
# flags the build itself links them by. Not their own private libraries: those are for static
# copies of them, which the distributions rarely ship whole.
if(DOFMAP_IO)
  # The run path to the module of OpenCV's codecs, which the io library loads when a file needs it.
  set(DOFMAP_PC_LIBS "-ldofmap_io -ldofmap_core -Wl,-rpath,\${libdir}/dofmap")
  string(JOIN " " DOFMAP_PC_PRIVATE_LIBS ${LIBRAW_LDFLAGS} ${LIBHEIF_LDFLAGS} ${LIBDE265_LDFLAGS} ${EXIV2_LDFLAGS} ${LIBDEFLATE_LDFLAGS} -ljpeg -pthread)
else()
  set(DOFMAP_PC_LIBS "-ldofmap_core")
  set(DOFMAP_PC_PRIVATE_LIBS "-pthread")
endif()
configure_file(cmake/dofmap.pc.in ${CMAKE_CURRENT_BINARY_DIR}/dofmap.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/dofmap.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The programs' man pages and completion.
if(DOFMAP_PROGRAMS)
  # Man pages, written by hand in man(7) roff.
  set(DOFMAP_MAN_PAGES ${CMAKE_CURRENT_SOURCE_DIR}/man/dofmap.1 ${CMAKE_CURRENT_SOURCE_DIR}/man/dofmap-batch.1)
  install(FILES ${DOFMAP_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  install(FILES completion/dofmap-batch.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
    RENAME dofmap-batch)
endif()
