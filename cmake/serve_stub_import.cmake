# cmake -DSTUB=.../inference_pb2_grpc.py -P serve_stub_import.cmake: the gRPC
# plugin's stub imports the messages as the top-level module inference_pb2;
# in the package kiv_serve_protocol they are its sibling.
file(READ ${STUB} text)
string(REPLACE "\nimport inference_pb2 as " "\nfrom . import inference_pb2 as " fixed "${text}")
if(fixed STREQUAL text)
  message(FATAL_ERROR "${STUB}: no 'import inference_pb2 as' line to make relative")
endif()
file(WRITE ${STUB} "${fixed}")
