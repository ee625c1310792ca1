// Container files: reading a model, extracting its first executable, and
// the runtime's single-read path that lends the executable from the file.
#include <cstdint>
#include <cstdio>

#include "container_file.h"
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

    kiv::ContainerFile file;
    if (file.Read(input.path()).ok() && file.HasSubgraph()) {
        // Every lent byte must lie inside the file's buffer.
        const uint8_t* code = file.ExecutableData();
        volatile uint8_t sum = 0;
        for (uint32_t i = 0; code != nullptr && i < file.ExecutableSize(); ++i) sum = sum + code[i];
        (void)sum;
    }
    return 0;
}
