# Debian packages of the install components, made by CPack's DEB generator
# (scripts/package.sh for amd64, scripts/test_arm64.sh for arm64):
#
#   libkiv          the runtime: libkiv.so and its stub, the kiv package, and
#                   the commands in bin/ (components python and commands)
#   libkiv-dev      headers and the CMake package (component devel)
#   libkiv-standin  the stand-in NPU driver (component standin), apart so that
#                   a device with the real driver never gets it by accident
#   libkiv-serve    kiv serve, the inference server (component serve): its
#                   modules, gRPC stubs and systemd unit, apart so that only
#                   boards that serve need gRPC, aiohttp and prometheus-client
#
# The packages install into /usr, so the tree they are made from must be
# configured for that prefix (-DCMAKE_INSTALL_PREFIX=/usr): the Python files
# then go where Debian's python3 searches for it, lib/python3/dist-packages,
# unless KIV_INSTALL_PYTHONDIR says otherwise, and cpack refuses any other
# place (cmake/cpack_project_config.cmake).
set(KIV_DEB_MAINTAINER "libkiv maintainers <maintainers@users.noreply.c-seed-159aec9a.example>"
    CACHE STRING "Maintainer field of the Debian packages")
set(KIV_DEB_RELEASE 1 CACHE STRING "Debian revision of the packages (the part after the project version)")

# Each install component belongs to one package; a component added without a
# place here would silently be left out of every package.
set(KIV_DEB_RUNTIME_COMPONENTS python commands)
set(KIV_DEB_COMPONENTS ${KIV_DEB_RUNTIME_COMPONENTS} devel standin)
if(KIV_SERVE)
  list(APPEND KIV_DEB_COMPONENTS serve)
endif()
get_cmake_property(KIV_INSTALL_COMPONENTS COMPONENTS)
foreach(component IN LISTS KIV_INSTALL_COMPONENTS)
  if(NOT component IN_LIST KIV_DEB_COMPONENTS)
    message(FATAL_ERROR "install component '${component}' belongs to no Debian package: "
                        "give its install rule a component listed in cmake/packaging.cmake")
  endif()
endforeach()

# The packages' architecture is the target's, also when cross-compiling
# (CPack would otherwise ask dpkg for the build machine's).
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(KIV_DEB_ARCH_DEFAULT amd64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(KIV_DEB_ARCH_DEFAULT arm64)
else()
  set(KIV_DEB_ARCH_DEFAULT "")
endif()
set(KIV_DEB_ARCHITECTURE "${KIV_DEB_ARCH_DEFAULT}" CACHE STRING "Debian architecture of the packages")

# The Python ABI the module is built for: this minor version only.
math(EXPR KIV_PYTHON_NEXT_MINOR "${Python_VERSION_MINOR} + 1")
set(KIV_DEB_PYTHON_DEPENDS
    "python3 (>= ${KIV_PYTHON_VERSION}~), python3 (<< ${Python_VERSION_MAJOR}.${KIV_PYTHON_NEXT_MINOR})")
set(KIV_DEB_VERSION "${PROJECT_VERSION}-${KIV_DEB_RELEASE}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libkiv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "${KIV_DEB_MAINTAINER}")
# Stripped: the debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/cpack_project_config.cmake)
# Read back by cmake/cpack_project_config.cmake.
set(CPACK_KIV_INSTALL_PYTHONDIR "${KIV_INSTALL_PYTHONDIR}")

set(CPACK_COMPONENTS_ALL ${KIV_DEB_COMPONENTS})
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
foreach(component IN LISTS KIV_DEB_RUNTIME_COMPONENTS)
  string(TOUPPER ${component} upper)
  set(CPACK_COMPONENT_${upper}_GROUP runtime)
endforeach()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KIV_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KIV_DEB_ARCHITECTURE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KIV_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE libkiv)
# libc6, libstdc++6, libgcc-s1 and libflatbuffers2, with their versions, from
# the libraries the binaries need (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Maintainer scripts 0755, whatever the mode of the files they come from.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The group "runtime" and the components "devel" and "standin" are one
# package each; CPack names their settings after them in upper case.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkiv)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION python)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${KIV_DEB_PYTHON_DEPENDS}, python3-numpy")
# kiv bench --plot draws with matplotlib; nothing else needs it.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SUGGESTS python3-matplotlib)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "user-mode runtime of the NPU, for Python
The runtime loads compiled models from zor containers and runs inference on
the NPU through its user-mode driver libaipudrv.so.
This package holds the Python module libkiv (the runtime itself, a shared
library), the kiv package over it (numpy arrays, exceptions, futures), and
the zor command, which packs, lists and unpacks model containers.")
# A package's Python modules are compiled to bytecode on installation and
# their bytecode removed before removal, so that nothing is left behind:
# kiv_deb_python_scripts(GROUP PACKAGE) for the package of a group or component.
function(kiv_deb_python_scripts group package)
  set(KIV_DEB_PACKAGE ${package})
  foreach(script postinst prerm)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/deb/${script}.in ${CMAKE_BINARY_DIR}/deb/${group}/${script} @ONLY)
  endforeach()
  string(TOUPPER ${group} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA
      "${CMAKE_BINARY_DIR}/deb/${group}/postinst;${CMAKE_BINARY_DIR}/deb/${group}/prerm" PARENT_SCOPE)
endfunction()
kiv_deb_python_scripts(runtime ${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME})

set(CPACK_DEBIAN_DEVEL_PACKAGE_NAME libkiv-dev)
set(CPACK_DEBIAN_DEVEL_PACKAGE_SECTION libdevel)
# What kivConfig.cmake finds: libpython (the module leaves the Python C API
# to the process) and FlatBuffers (the container classes' header uses it).
set(CPACK_DEBIAN_DEVEL_PACKAGE_DEPENDS
    "libkiv (= ${KIV_DEB_VERSION}), libpython${KIV_PYTHON_VERSION}-dev, libflatbuffers-dev")
set(CPACK_DEBIAN_DEVEL_DESCRIPTION "user-mode runtime of the NPU - development files
Headers of the zor container classes that libkiv.so exports, and the CMake
package kiv (find_package(kiv), target kiv::kiv) for native programs that
read, write, pack and list model containers. The runtime's inference API is
internal to the library: programs run models through Python.")

set(CPACK_DEBIAN_STANDIN_PACKAGE_NAME libkiv-standin)
set(CPACK_DEBIAN_STANDIN_PACKAGE_SECTION misc)
# Its files lie in Python's directory, inside the kiv package's.
set(CPACK_DEBIAN_STANDIN_PACKAGE_DEPENDS "libkiv (= ${KIV_DEB_VERSION}), python3")
set(CPACK_DEBIAN_STANDIN_DESCRIPTION "user-mode runtime of the NPU - stand-in NPU driver
An in-process NPU simulator with the entry points of the NPU's user-mode
driver, for machines without the NPU. It lies in the kiv package's own
directory, on no library search path: the runtime uses it only when asked,
with kiv.Runtime(driver='standin') or AIPU_LIB_PATH. Do not install it on a
device with the real driver.
With it come its program builder and test controls (the Python package
kiv.standin), and so the example models of the documentation (kiv example).")
kiv_deb_python_scripts(standin ${CPACK_DEBIAN_STANDIN_PACKAGE_NAME})

set(CPACK_DEBIAN_SERVE_PACKAGE_NAME libkiv-serve)
set(CPACK_DEBIAN_SERVE_PACKAGE_SECTION python)
set(CPACK_DEBIAN_SERVE_PACKAGE_DEPENDS
    "libkiv (= ${KIV_DEB_VERSION}), ${KIV_DEB_PYTHON_DEPENDS}, python3-grpcio, python3-protobuf, python3-aiohttp, python3-prometheus-client")
set(CPACK_DEBIAN_SERVE_DESCRIPTION "user-mode runtime of the NPU - inference server
kiv serve: one process owns the NPU and serves its models to every process
on the board and, on request, to other machines, over the open inference
protocol (gRPC and HTTP/REST, with binary tensor data, system shared memory,
model repository and statistics), with Prometheus metrics on /metrics.
The systemd unit kiv-serve.service comes disabled.")
kiv_deb_python_scripts(serve ${CPACK_DEBIAN_SERVE_PACKAGE_NAME})

# What Debian's policy asks of every package in /usr/share/doc/<package>: the
# copyright (debian/copyright, machine-readable), the Debian changelog made
# from CHANGELOG.md (cmake/deb/debian_changelog.py) and CHANGELOG.md itself as
# the upstream changelog, compressed with gzip -9n (best, no name or time
# stamp). Only in the packages: a plain install leaves them out.
set(KIV_DEB_DOC_DIR ${CMAKE_BINARY_DIR}/deb/doc)
set(KIV_DEB_DOCS ${CMAKE_SOURCE_DIR}/debian/copyright ${KIV_DEB_DOC_DIR}/changelog.Debian.gz
    ${KIV_DEB_DOC_DIR}/changelog.gz)
add_custom_command(OUTPUT ${KIV_DEB_DOC_DIR}/changelog.Debian.gz ${KIV_DEB_DOC_DIR}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KIV_DEB_DOC_DIR}
  COMMAND ${Python_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/deb/debian_changelog.py ${CMAKE_SOURCE_DIR}/CHANGELOG.md
          --source ${CPACK_DEBIAN_PACKAGE_SOURCE} --revision ${KIV_DEB_RELEASE} --maintainer ${KIV_DEB_MAINTAINER}
          -o ${KIV_DEB_DOC_DIR}/changelog.Debian
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/CHANGELOG.md ${KIV_DEB_DOC_DIR}/changelog
  COMMAND gzip -9nf ${KIV_DEB_DOC_DIR}/changelog.Debian ${KIV_DEB_DOC_DIR}/changelog
  DEPENDS ${CMAKE_SOURCE_DIR}/CHANGELOG.md ${CMAKE_SOURCE_DIR}/cmake/deb/debian_changelog.py
  COMMENT "Debian changelog from CHANGELOG.md"
  VERBATIM)
add_custom_target(deb_docs ALL DEPENDS ${KIV_DEB_DOC_DIR}/changelog.Debian.gz ${KIV_DEB_DOC_DIR}/changelog.gz)
# The install component of each package that carries its documents.
set(KIV_DEB_DOC_COMPONENTS "python=${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME}" "devel=${CPACK_DEBIAN_DEVEL_PACKAGE_NAME}"
    "standin=${CPACK_DEBIAN_STANDIN_PACKAGE_NAME}")
if(KIV_SERVE)
  list(APPEND KIV_DEB_DOC_COMPONENTS "serve=${CPACK_DEBIAN_SERVE_PACKAGE_NAME}")
endif()
foreach(pair IN LISTS KIV_DEB_DOC_COMPONENTS)
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${KIV_DEB_DOCS} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
# Read back by cmake/cpack_project_config.cmake: lintian wants a manual page
# for each command.
set(CPACK_KIV_MAN_PAGES ${KIV_MAN_PAGES})

include(CPack)
