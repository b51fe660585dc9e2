# Read by cpack as it makes the package: without dpkg-shlibdeps CPack would make one quietly with
# no Depends on the libraries the programs load, which installs and then fails to start.
find_program(DOFMAP_SHLIBDEPS dpkg-shlibdeps)
if(NOT DOFMAP_SHLIBDEPS)
  message(FATAL_ERROR "dpkg-shlibdeps (Debian's dpkg-dev) is not installed: it finds the libraries the package depends on")
endif()
