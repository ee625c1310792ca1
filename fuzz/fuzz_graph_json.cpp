// Graph descriptions of any text, packed into a container when they load.
// Subgraph "data" entries name files relative to a private directory that
// holds one small executable, "prog.bin".
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz_temp_file.h"
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
    try {
        if (handler.LoadJson(input.path()) != KIV_SERIALIZATION_OK) return 0;
    } catch (const nlohmann::json::parse_error&) {
        return 0;
    } catch (const nlohmann::json::type_error&) {
        return 0;
    } catch (const nlohmann::json::out_of_range&) {
        return 0;
    }
    handler.serialize();
    kiv::SerializationHandler reader;
    if (reader.deserialize(handler.GetBufferPointer(), handler.GetBufferSize()) != KIV_SERIALIZATION_OK) abort();
    if (reader.GetSubgraphs().size() != handler.GetSubgraphs().size()) abort();
    return 0;
}
