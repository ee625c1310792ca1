// IO descriptions of any text. The JSON library's parse, type and range
// errors are the documented outcome of malformed text; any other exception or
// fault is a finding.
#include <cstdint>
#include <cstdio>

#include "fuzz_temp_file.h"
#include "json_outcome.h"
#include "serialization_handler.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const kiv_fuzz::TempFile input(".json");
    input.write(data, size);

    kiv::SerializationHandler handler;
    if (!kiv_fuzz::loaded([&] { return handler.LoadIoJson(input.path()); })) return 0;
    // What a loaded description offers to its users must be answerable.
    handler.GetInputInfos();
    handler.GetOutputInfos();
    handler.DumpIoJson();
    handler.serialize();
    kiv::SerializationHandler reader;
    if (reader.deserialize(handler.GetBufferPointer(), handler.GetBufferSize()) != KIV_SERIALIZATION_OK) abort();
    return 0;
}
