// Graph descriptions of any text, packed into a container when they load.
// Subgraph "data" entries name files relative to a private directory that
// holds one small executable, "prog.bin".
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_temp_file.h"
#include "json_outcome.h"
#include "serialization_handler.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::freopen("/dev/null", "w", stdout);
    char dir[] = "/tmp/kiv_fuzz_graph_XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) std::abort();
    FILE* prog = std::fopen("prog.bin", "wb");
    if (prog == nullptr) std::abort();
    std::fputs("KVNP", prog);
    std::fclose(prog);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const kiv_fuzz::TempFile input(".json");
    input.write(data, size);

    kiv::SerializationHandler handler;
    if (!kiv_fuzz::loaded([&] { return handler.LoadJson(input.path()); })) return 0;
    handler.serialize();
    kiv::SerializationHandler reader;
    if (reader.deserialize(handler.GetBufferPointer(), handler.GetBufferSize()) != KIV_SERIALIZATION_OK) abort();
    if (reader.GetSubgraphs().size() != handler.GetSubgraphs().size()) abort();
    return 0;
}
