// Container files: reading a model and extracting its first executable.
#include <cstdint>
#include <cstdio>

#include "fuzz_temp_file.h"
#include "serialization_handler.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The reader reports every refused file on standard output.
    std::freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const kiv_fuzz::TempFile input(".zor");
    static const kiv_fuzz::TempFile extracted(".bin");
    input.write(data, size);

    kiv::SerializationHandler handler;
    if (handler.DeSerialization(input.path()) == KIV_SERIALIZATION_OK) handler.ShowInformation();
    kiv::SerializationHandler extractor;
    extractor.DeSerialization(input.path(), extracted.path());
    return 0;
}
