// Human-readable summary of the held model, for tools.
#include <cstdio>

#include "serialization_handler.h"

namespace kiv {
namespace {

void print_names(const char* format, const std::vector<std::string>& names) {
    for (const std::string& name : names) printf(format, name.c_str());
}

void print_subgraph(const Subgraph& subgraph) {
    printf("Subgraph %s\n", subgraph.GetName().c_str());
    printf("\tData size %d\n", static_cast<int32_t>(subgraph.GetSize()));
    printf("\tBackend %d\n", static_cast<int>(subgraph.GetBackend()));
    printf("\tInputs:\n");
    print_names("\t\t%s\n", subgraph.GetInputs());
    printf("\tOutputs:\n");
    print_names("\t\t%s\n", subgraph.GetOutputs());
}

}  // namespace

int SerializationHandler::ShowInformation() const {
    printf("Graph %s\n", GetName().c_str());
    printf("Version %s\n", GetVersion().c_str());
    printf("Inputs Count: %ld\n", static_cast<long>(GetInputs().size()));
    print_names("\t%s\n", GetInputs());
    printf("Outputs Count: %ld\n", static_cast<long>(GetOutputs().size()));
    print_names("\t%s\n", GetOutputs());
    printf("SubGraph Count %ld\n", static_cast<long>(GetSubgraphs().size()));
    for (const Subgraph* subgraph : GetSubgraphs()) {
        if (subgraph != nullptr) print_subgraph(*subgraph);
    }
    return 0;
}

}  // namespace kiv
