# Installation: the Python module with its type stub and the kiv package in a
# Python site directory, the headers of the exported container classes, and a
# CMake package (kiv::kiv) for native tools that use them. The stand-in
# driver is installed only on request (component "standin"), into the kiv
# package's own standin/ directory, where no library search finds it.
include(CMakePackageConfigHelpers)

set(KIV_PYTHON_VERSION "${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}")
# Debian's interpreter searches lib/python3/dist-packages for /usr (the prefix
# of the Debian packages) and lib/python3.X/dist-packages for /usr/local; for
# other prefixes point PYTHONPATH at the directory. Left empty, it follows
# the prefix this tree is configured for.
set(KIV_INSTALL_PYTHONDIR "" CACHE STRING
    "Directory (relative to the prefix) for libkiv.so, its stub, kiv and the stand-in (empty: the one Debian's python3 searches for the prefix)")
if(NOT KIV_INSTALL_PYTHONDIR)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(KIV_INSTALL_PYTHONDIR "lib/python3/dist-packages")
  else()
    set(KIV_INSTALL_PYTHONDIR "lib/python${KIV_PYTHON_VERSION}/dist-packages")
  endif()
endif()
set(KIV_INSTALL_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/kiv")
set(KIV_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/kiv")
option(KIV_INSTALL_STANDIN_DRIVER
       "Install the stand-in NPU driver with a plain install (else only with --component standin)" OFF)

if(TARGET libkiv)
  # Installed without a run path: the driver's default name resolves through
  # the system's library search only.
  install(TARGETS libkiv LIBRARY DESTINATION ${KIV_INSTALL_PYTHONDIR} COMPONENT python)
  install(FILES ${CMAKE_SOURCE_DIR}/kiv_umd/src/python/libkiv.pyi DESTINATION ${KIV_INSTALL_PYTHONDIR}
          COMPONENT python)
  # Type checkers read installed modules' types only from typed packages or
  # stub packages: the same stub again as the stub package libkiv-stubs.
  install(FILES ${CMAKE_SOURCE_DIR}/kiv_umd/src/python/libkiv.pyi DESTINATION ${KIV_INSTALL_PYTHONDIR}/libkiv-stubs
          RENAME __init__.pyi COMPONENT python)
endif()

# kiv, the pure Python layer over libkiv, imports it from the same directory.
# Its server, kiv.serve, is a component of its own (cmake/serve.cmake), and
# its subpackage standin, the stand-in's Python side (program builder, test
# controls), goes with the stand-in below.
if(EXISTS ${CMAKE_SOURCE_DIR}/python/kiv)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/python/kiv DESTINATION ${KIV_INSTALL_PYTHONDIR} COMPONENT python
          PATTERN "__pycache__" EXCLUDE PATTERN "*.pyc" EXCLUDE PATTERN "serve" EXCLUDE PATTERN "standin" EXCLUDE)
endif()

# The kiv command: kiv.cli run by the interpreter the module is built for.
# The build tree's copy is executable too: scripts/env.sh puts it on PATH.
if(EXISTS ${CMAKE_SOURCE_DIR}/python/kiv/cli.py)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/kiv_command.in ${CMAKE_BINARY_DIR}/cmake/command/kiv @ONLY)
  file(COPY ${CMAKE_BINARY_DIR}/cmake/command/kiv DESTINATION ${CMAKE_BINARY_DIR}/commands
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  install(PROGRAMS ${CMAKE_BINARY_DIR}/commands/kiv DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT commands)
endif()

if(KIV_INSTALL_STANDIN_DRIVER)
  set(KIV_STANDIN_EXCLUDE)
else()
  set(KIV_STANDIN_EXCLUDE EXCLUDE_FROM_ALL)
endif()
install(TARGETS aipudrv LIBRARY DESTINATION ${KIV_INSTALL_PYTHONDIR}/kiv/standin
        COMPONENT standin NAMELINK_COMPONENT standin ${KIV_STANDIN_EXCLUDE})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/python/kiv/standin DESTINATION ${KIV_INSTALL_PYTHONDIR}/kiv
        COMPONENT standin ${KIV_STANDIN_EXCLUDE} FILES_MATCHING PATTERN "*.py")

# Only headers whose declarations a program can use: the container classes
# and the schema types they take. The runtime API (kiv_api.h) and the driver
# contract (aipu_driver.h) are internal to libkiv.so, whose kiv_* functions
# are not exported.
install(FILES
  ${CMAKE_SOURCE_DIR}/kiv_serialization/serialization_handler.h
  ${CMAKE_BINARY_DIR}/generated/zor_generated.h
  DESTINATION ${KIV_INSTALL_INCLUDEDIR} COMPONENT devel)

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/kivConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/kivConfig.cmake
  INSTALL_DESTINATION ${KIV_INSTALL_CMAKEDIR}
  PATH_VARS KIV_INSTALL_PYTHONDIR KIV_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/kivConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/kivConfig.cmake ${CMAKE_BINARY_DIR}/cmake/kivConfigVersion.cmake
        DESTINATION ${KIV_INSTALL_CMAKEDIR} COMPONENT devel)

# Installs into a temporary prefix, imports libkiv from there with a clean
# environment, and builds and runs examples/native_consumer against the package.
if(KIV_BUILD_TESTS AND TARGET libkiv)
  add_test(NAME install_test
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/native/install_test/check_install.sh
            ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${KIV_INSTALL_PYTHONDIR} ${KIV_TEST_PYTHON})
  set_tests_properties(install_test PROPERTIES TIMEOUT 600)
endif()
