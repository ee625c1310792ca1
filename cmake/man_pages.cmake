# Manual pages kiv(1) and zor(1), made at build time by help2man from what the
# built commands print for --help and --version, with a section of each
# subcommand's --help (cmake/man/man_page.py): the pages say what the programs
# say and never drift from them. Installed with the commands (component
# commands). A build makes them whenever help2man is there (a cross build
# also needs KIV_MAN_PYTHON, below); the Debian packages need them, so
# scripts/package.sh and scripts/test_arm64.sh turn them on, which makes
# help2man required.
# A sanitized module cannot be imported by a plain interpreter, so neither
# can the kiv command that the pages are made from: sanitized trees make none.
find_program(KIV_HELP2MAN help2man)
if(KIV_HELP2MAN AND (NOT CMAKE_CROSSCOMPILING OR KIV_MAN_PYTHON) AND NOT KIV_SANITIZE AND NOT KIV_TSAN)
  set(KIV_MAN_PAGES_DEFAULT ON)
else()
  set(KIV_MAN_PAGES_DEFAULT OFF)
endif()
option(KIV_MAN_PAGES "Make the kiv(1) and zor(1) manual pages with help2man and install them"
       ${KIV_MAN_PAGES_DEFAULT})
if(NOT KIV_MAN_PAGES)
  return()
endif()
if(NOT KIV_HELP2MAN)
  message(FATAL_ERROR "KIV_MAN_PAGES needs help2man (apt-get install help2man)")
endif()
find_program(KIV_GZIP gzip REQUIRED)

# kiv --help runs the kiv package over the built module, so it needs an
# interpreter of the target: the build's own natively; for a cross build, one
# the build machine can run (an emulator with an arm64 root holding python3
# and numpy, as scripts/test_arm64.sh gives).
if(CMAKE_CROSSCOMPILING)
  set(KIV_MAN_PYTHON_DEFAULT "")
else()
  set(KIV_MAN_PYTHON_DEFAULT "${Python_EXECUTABLE}")
endif()
set(KIV_MAN_PYTHON "${KIV_MAN_PYTHON_DEFAULT}" CACHE STRING
    "Command (a list) that runs the target's python3, with numpy, for kiv --help when making kiv(1)")
if(NOT KIV_MAN_PYTHON)
  message(FATAL_ERROR "KIV_MAN_PAGES in a cross build needs KIV_MAN_PYTHON, a command that runs the target's "
                      "python3 with numpy: for example \"/usr/bin/qemu-aarch64-static;-L;ROOT;ROOT/usr/bin/python3\" "
                      "with ROOT an arm64 Debian root")
endif()

set(KIV_MAN_DIR ${CMAKE_BINARY_DIR}/man)
file(GLOB KIV_PACKAGE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/python/kiv/*.py)

# kiv_man_page(NAME SUMMARY SUBCOMMANDS SEE_ALSO OPTIONS DEPENDS COMMAND...):
# NAME.1.gz, compressed as Debian's policy asks (gzip -9n: best, no name or
# time stamp). OPTIONS: more options of man_page.py, a list (--promote
# "HEADING=SECTION", --synopsis).
function(kiv_man_page name summary subcommands see_also options depends)
  set(page ${KIV_MAN_DIR}/${name}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KIV_MAN_DIR}
    COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${CMAKE_BINARY_DIR}:${CMAKE_SOURCE_DIR}/python
            ${Python_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/man/man_page.py
            --name ${name} --summary ${summary} --changelog ${CMAKE_SOURCE_DIR}/CHANGELOG.md
            --subcommands ${subcommands} --see-also ${see_also} ${options} --help2man ${KIV_HELP2MAN} -o ${page}
            -- ${ARGN}
    COMMAND ${KIV_GZIP} -9nf ${page}
    DEPENDS ${depends} ${CMAKE_SOURCE_DIR}/cmake/man/man_page.py ${CMAKE_SOURCE_DIR}/CHANGELOG.md
    COMMENT "Manual page ${name}(1)"
    VERBATIM)
endfunction()

file(GLOB KIV_COMMAND_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/python/kiv/commands/*.py)
# Both helps have a paragraph "Exit status:", a section of the page; kiv's
# usage lines are argparse's, which help2man does not read as a synopsis.
kiv_man_page(kiv "inspect, run, benchmark and serve models on the NPU" info,run,bench,serve,example zor
             "--promote;Exit status:=EXIT STATUS;--synopsis"
             "libkiv;${KIV_PACKAGE_SOURCES};${KIV_COMMAND_SOURCES}" ${KIV_MAN_PYTHON} -m kiv)
kiv_man_page(zor "pack, list and unpack NPU model containers" pack,info,extract,io kiv
             "--promote;Exit status:=EXIT STATUS" zor ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:zor>)
add_custom_target(man_pages ALL DEPENDS ${KIV_MAN_DIR}/kiv.1.gz ${KIV_MAN_DIR}/zor.1.gz)
install(FILES ${KIV_MAN_DIR}/kiv.1.gz ${KIV_MAN_DIR}/zor.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT commands)
