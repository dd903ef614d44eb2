// Quelt::Onnx::ModelMetadata: what a model says about itself (producer, names, doc string,
// version, the custom map), from the runtime and, where it tells less, from the model's bytes.
#pragma once

#include "onnx/DeclaredShape.hpp"
#include "onnx/OnnxRuntime.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Quelt::Onnx {

struct ModelMetadata {
    std::string producer, producerVersion, graphName, domain, description;
    std::optional<int64_t> version; // none when the model leaves it unset
    std::vector<std::pair<std::string, std::string>> custom;

    // The runtime's view; it has no producer version and reads an unset version as 0.
    static ModelMetadata of(const Ort::Session& session)
    {
        ModelMetadata metadata;
        Ort::AllocatorWithDefaultOptions allocator;
        const Ort::ModelMetadata given = session.GetModelMetadata();
        metadata.producer = given.GetProducerNameAllocated(allocator).get();
        metadata.graphName = given.GetGraphNameAllocated(allocator).get();
        metadata.domain = given.GetDomainAllocated(allocator).get();
        metadata.description = given.GetDescriptionAllocated(allocator).get();
        for (const auto& key : given.GetCustomMetadataMapKeysAllocated(allocator)) {
            metadata.custom.emplace_back(key.get(), given.LookupCustomMetadataMapAllocated(key.get(), allocator).get());
        }
        return metadata;
    }

    // ModelProto.producer_version (3) and model_version (5), read from the model's bytes.
    void readFrom(const void* model, size_t size)
    {
        detail::ProtoReader reader(static_cast<const uint8_t*>(model), size);
        uint32_t field = 0;
        std::pair<const uint8_t*, size_t> bytes;
        while (reader.next(field, bytes)) {
            if (field == 3 && bytes.first) {
                producerVersion.assign(reinterpret_cast<const char*>(bytes.first), bytes.second);
            } else if (field == 5 && !bytes.first) {
                version = int64_t(reader.number());
            }
        }
    }
};

} // namespace Quelt::Onnx
