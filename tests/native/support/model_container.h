// Writes zor model containers built in memory, for tests that load models.
#ifndef KIV_TEST_MODEL_CONTAINER_H
#define KIV_TEST_MODEL_CONTAINER_H

#include <cstdint>
#include <string>
#include <vector>

struct TensorSpec {
    std::string name;
    std::vector<int> shape;
    bool described = true;  // false: the name is listed without a tensor description
};

struct ContainerSpec {
    std::vector<std::vector<uint8_t>> executables;  // one subgraph per entry, in order
    std::vector<TensorSpec> inputs;
    std::vector<TensorSpec> outputs;
};

// Serialises `spec` and writes the container image to `path`.
void write_container(const std::string& path, const ContainerSpec& spec);

#endif  // KIV_TEST_MODEL_CONTAINER_H
