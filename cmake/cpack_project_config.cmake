# Read by cpack before it makes each package (CPACK_PROJECT_CONFIG_FILE).
if(CPACK_GENERATOR STREQUAL "DEB")
  # The packages install into /usr, where Debian's python3 searches
  # lib/python3/dist-packages: Python files anywhere else would not import.
  if(NOT CPACK_KIV_INSTALL_PYTHONDIR STREQUAL "lib/python3/dist-packages")
    message(FATAL_ERROR "the Debian packages need the Python files in lib/python3/dist-packages, "
                        "this tree installs them into ${CPACK_KIV_INSTALL_PYTHONDIR}: configure it with "
                        "-DCMAKE_INSTALL_PREFIX=/usr -DKIV_INSTALL_PYTHONDIR=lib/python3/dist-packages (scripts/package.sh does)")
  endif()
  if(NOT CPACK_KIV_MAN_PAGES)
    message(FATAL_ERROR "the Debian packages carry the commands' manual pages: configure with -DKIV_MAN_PAGES=ON "
                        "(scripts/package.sh does)")
  endif()
  if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    message(FATAL_ERROR "no Debian architecture for this target: configure with -DKIV_DEB_ARCHITECTURE=...")
  endif()
  # dpkg-shlibdeps looks for the libraries of the packages' architecture (and
  # for its objdump) by DEB_HOST_ARCH: when cross-building, the target's
  # multiarch libraries, not the build machine's.
  set(ENV{DEB_HOST_ARCH} "${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
endif()
