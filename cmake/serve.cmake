# kiv serve, the inference server (python/kiv/serve): its gRPC stubs, compiled
# at build time from the project's own python/kiv/serve/inference.proto by
# protoc and gRPC's Python plugin into the package kiv_serve_protocol in the
# build tree (on the tests' PYTHONPATH, beside libkiv.so), and its install
# component "serve" (the Debian package libkiv-serve): the server's modules,
# the stubs and the systemd unit kiv-serve.service.
option(KIV_SERVE "Build the gRPC stubs of kiv serve and install the server (component serve)" ON)
if(NOT KIV_SERVE)
  return()
endif()
# Programs of the build machine, also when cross-compiling: the stubs are
# Python, the same for every architecture.
find_program(KIV_PROTOC protoc NO_CMAKE_FIND_ROOT_PATH)
find_program(KIV_GRPC_PYTHON_PLUGIN grpc_python_plugin NO_CMAKE_FIND_ROOT_PATH)
if(NOT KIV_PROTOC OR NOT KIV_GRPC_PYTHON_PLUGIN)
  message(FATAL_ERROR "kiv serve needs protoc and grpc_python_plugin (apt-get install protobuf-compiler "
                      "protobuf-compiler-grpc; scripts/setup.sh does), or configure with -DKIV_SERVE=OFF")
endif()

set(KIV_SERVE_PROTO ${CMAKE_SOURCE_DIR}/python/kiv/serve/inference.proto)
set(KIV_SERVE_STUBS_DIR ${CMAKE_BINARY_DIR}/kiv_serve_protocol)
set(KIV_SERVE_STUBS ${KIV_SERVE_STUBS_DIR}/__init__.py ${KIV_SERVE_STUBS_DIR}/inference_pb2.py
    ${KIV_SERVE_STUBS_DIR}/inference_pb2_grpc.py)
# The plugin imports the messages as a top-level module (import inference_pb2);
# in the package it is a sibling (from . import inference_pb2).
add_custom_command(OUTPUT ${KIV_SERVE_STUBS}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KIV_SERVE_STUBS_DIR}
  COMMAND ${KIV_PROTOC} -I ${CMAKE_SOURCE_DIR}/python/kiv/serve --python_out=${KIV_SERVE_STUBS_DIR}
          --grpc_out=${KIV_SERVE_STUBS_DIR} --plugin=protoc-gen-grpc=${KIV_GRPC_PYTHON_PLUGIN} ${KIV_SERVE_PROTO}
  COMMAND ${CMAKE_COMMAND} -DSTUB=${KIV_SERVE_STUBS_DIR}/inference_pb2_grpc.py
          -P ${CMAKE_SOURCE_DIR}/cmake/serve_stub_import.cmake
  COMMAND ${CMAKE_COMMAND} -E echo "\"\"\"gRPC stubs of kiv serve, made by protoc from inference.proto.\"\"\""
          > ${KIV_SERVE_STUBS_DIR}/__init__.py
  DEPENDS ${KIV_SERVE_PROTO} ${CMAKE_SOURCE_DIR}/cmake/serve_stub_import.cmake
  COMMENT "gRPC stubs of kiv serve from inference.proto"
  VERBATIM)
add_custom_target(serve_stubs ALL DEPENDS ${KIV_SERVE_STUBS})

install(FILES ${KIV_SERVE_STUBS} DESTINATION ${KIV_INSTALL_PYTHONDIR}/kiv_serve_protocol COMPONENT serve)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/python/kiv/serve DESTINATION ${KIV_INSTALL_PYTHONDIR}/kiv COMPONENT serve
        PATTERN "__pycache__" EXCLUDE PATTERN "*.pyc" EXCLUDE)
# The unit is installed disabled: a package never enables or starts it.
install(FILES ${CMAKE_SOURCE_DIR}/cmake/serve/kiv-serve.service DESTINATION lib/systemd/system COMPONENT serve
        EXCLUDE_FROM_ALL)

