// Quelt::Onnx::ExternalData: the tensors a serialized model keeps in files of their own, found
// in its bytes, and, for a model that has no path, their data mapped from a folder the caller
// names and handed to the runtime in place of the files it would look for.
#pragma once

#include "onnx/DeclaredShape.hpp"
#include "onnx/OnnxRuntime.hpp"
#include "onnx/Tensor.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Quelt::Onnx {

struct ExternalTensor {
    std::string name;
    int type = 0; // TensorProto.data_type: the runtime's element type numbers
    std::vector<int64_t> dims;
    std::string location;
    uint64_t offset = 0;
    std::optional<uint64_t> length;
    // An initializer of the main graph: the only tensors whose data the runtime can be handed.
    bool initializer = false;
};

namespace detail {

using Bytes = std::pair<const uint8_t*, size_t>;

// TensorProto: dims 1, data_type 2, name 8, external_data 13 (key 1, value 2), data_location 14
// (1: external).
inline void externalTensor(Bytes tensor, bool initializer, std::vector<ExternalTensor>& found)
{
    ExternalTensor external;
    external.initializer = initializer;
    bool isExternal = false;
    ProtoReader reader(tensor.first, tensor.second);
    uint32_t field = 0;
    Bytes bytes;
    while (reader.next(field, bytes)) {
        if (field == 1) {
            for (uint64_t dim : ProtoReader::numbers(bytes, reader.number())) {
                external.dims.push_back(int64_t(dim));
            }
        } else if (field == 2 && !bytes.first) {
            external.type = int(reader.number());
        } else if (field == 8 && bytes.first) {
            external.name.assign(reinterpret_cast<const char*>(bytes.first), bytes.second);
        } else if (field == 14 && !bytes.first) {
            isExternal = reader.number() == 1;
        } else if (field == 13 && bytes.first) {
            std::string key, value;
            ProtoReader entry(bytes.first, bytes.second);
            Bytes part;
            while (entry.next(field, part)) {
                if (part.first && (field == 1 || field == 2)) {
                    (field == 1 ? key : value).assign(reinterpret_cast<const char*>(part.first), part.second);
                }
            }
            if (key == "location") {
                external.location = value;
            } else if (key == "offset" || key == "length") {
                uint64_t number = 0;
                try {
                    number = std::stoull(value);
                } catch (const std::exception&) {
                    throw std::invalid_argument("initializer '" + external.name + "' gives its external data " + key
                                                + " as '" + value + "', which is not a number");
                }
                if (key == "offset") {
                    external.offset = number;
                } else {
                    external.length = number;
                }
            }
            field = 13;
        }
    }
    if (isExternal) {
        found.push_back(std::move(external));
    }
}

inline void graphTensors(Bytes graph, bool main, std::vector<ExternalTensor>& found);

// NodeProto.attribute 5; AttributeProto t 5, g 6, tensors 10, graphs 11, sparse_tensor 22,
// sparse_tensors 23; SparseTensorProto values 1, indices 2.
inline void nodeTensors(Bytes node, std::vector<ExternalTensor>& found)
{
    ProtoReader reader(node.first, node.second);
    uint32_t field = 0;
    Bytes attribute;
    while (reader.next(field, attribute)) {
        if (field != 5 || !attribute.first) {
            continue;
        }
        ProtoReader parts(attribute.first, attribute.second);
        Bytes part;
        while (parts.next(field, part)) {
            if (!part.first) {
                continue;
            }
            if (field == 5 || field == 10) {
                externalTensor(part, false, found);
            } else if (field == 6 || field == 11) {
                graphTensors(part, false, found);
            } else if (field == 22 || field == 23) {
                ProtoReader sparse(part.first, part.second);
                Bytes inner;
                while (sparse.next(field, inner)) {
                    if (inner.first && (field == 1 || field == 2)) {
                        externalTensor(inner, false, found);
                    }
                }
            }
        }
    }
}

// GraphProto: node 1, initializer 5, sparse_initializer 15.
inline void graphTensors(Bytes graph, bool main, std::vector<ExternalTensor>& found)
{
    ProtoReader reader(graph.first, graph.second);
    uint32_t field = 0;
    Bytes bytes;
    while (reader.next(field, bytes)) {
        if (!bytes.first) {
            continue;
        }
        if (field == 1) {
            nodeTensors(bytes, found);
        } else if (field == 5) {
            externalTensor(bytes, main, found);
        } else if (field == 15) {
            ProtoReader sparse(bytes.first, bytes.second);
            Bytes inner;
            while (sparse.next(field, inner)) {
                if (inner.first && (field == 1 || field == 2)) {
                    externalTensor(inner, false, found);
                }
            }
        }
    }
}

} // namespace detail

// Every tensor of the model whose data lies in an external file: ModelProto.graph 7 and the
// nodes (7) of its functions (25).
inline std::vector<ExternalTensor> externalTensors(const void* model, size_t size)
{
    std::vector<ExternalTensor> found;
    detail::ProtoReader reader(static_cast<const uint8_t*>(model), size);
    uint32_t field = 0;
    detail::Bytes bytes;
    while (reader.next(field, bytes)) {
        if (field == 7 && bytes.first) {
            detail::graphTensors(bytes, true, found);
        } else if (field == 25 && bytes.first) {
            detail::ProtoReader function(bytes.first, bytes.second);
            detail::Bytes node;
            while (function.next(field, node)) {
                if (field == 7 && node.first) {
                    detail::nodeTensors(node, found);
                }
            }
            field = 25;
        }
    }
    return found;
}

// The external tensors' data, mapped from files in one folder (copy-on-write: the files are
// never changed), as runtime values that stand in for them; kept for the session's lifetime.
class ExternalData {
public:
    ExternalData(const std::vector<ExternalTensor>& tensors, const std::filesystem::path& folder)
    {
        for (const ExternalTensor& tensor : tensors) {
            const std::string what = "initializer '" + tensor.name + "'";
            if (!tensor.initializer) {
                throw std::invalid_argument("tensor '" + tensor.name + "' keeps its data in '" + tensor.location
                                            + "' but is not an initializer of the main graph, whose external data "
                                              "only a model loaded from its file can read");
            }
            const std::filesystem::path location(tensor.location);
            bool inside = !tensor.location.empty() && location.is_relative();
            for (const auto& part : location) {
                inside = inside && part != "..";
            }
            if (!inside) {
                throw std::invalid_argument(what + " names external data '" + tensor.location
                                            + "', which is not a file inside the external_data folder");
            }
            const ElementInfo* element = findElementType(ONNXTensorElementDataType(tensor.type));
            if (!element || element->size == 0) {
                throw std::invalid_argument(what + " keeps data of element type "
                                            + typeName(ONNXTensorElementDataType(tensor.type))
                                            + " in an external file, which cannot be mapped");
            }
            const size_t bytes = elementCount(tensor.dims) * element->size;
            if (tensor.length && *tensor.length != bytes) {
                throw std::invalid_argument(what + " needs " + std::to_string(bytes) + " bytes of external data, its length says "
                                            + std::to_string(*tensor.length));
            }
            const File& file = mapped(folder, tensor.location, what);
            if (tensor.offset > file.size || bytes > file.size - tensor.offset) {
                throw std::invalid_argument("external data file '" + tensor.location + "' holds "
                                            + std::to_string(file.size) + " bytes; " + what + " needs "
                                            + std::to_string(bytes) + " from offset " + std::to_string(tensor.offset));
            }
            char* data = static_cast<char*>(file.data) + tensor.offset;
            // Kernels read their weights as the element type: misaligned data is copied.
            if (bytes == 0 || reinterpret_cast<uintptr_t>(data) % 16 != 0) {
                auto copy = std::make_shared<Tensor>(ONNXTensorElementDataType(tensor.type), tensor.dims);
                if (bytes != 0) {
                    std::memcpy(copy->data(), data, bytes);
                }
                m_copies.push_back(copy);
                data = static_cast<char*>(copy->data());
            }
            m_names.push_back(tensor.name);
            m_values.push_back(Tensor::wrap(ONNXTensorElementDataType(tensor.type), data, bytes, tensor.dims));
        }
    }

    ExternalData(const ExternalData&) = delete;
    ExternalData& operator=(const ExternalData&) = delete;

    void addTo(Ort::SessionOptions& options) const
    {
        if (m_values.empty()) {
            return;
        }
        std::vector<const char*> names;
        std::vector<const OrtValue*> values;
        for (size_t i = 0; i < m_values.size(); ++i) {
            names.push_back(m_names[i].c_str());
            values.push_back(m_values[i]);
        }
        Ort::ThrowOnError(Ort::GetApi().AddExternalInitializers(options, names.data(), values.data(), values.size()));
    }

private:
    struct File {
        void* data = nullptr;
        size_t size = 0;
        File() = default;
        File(const File&) = delete;
        File& operator=(const File&) = delete;
        ~File()
        {
            if (data) {
                ::munmap(data, size);
            }
        }
    };

    std::map<std::string, File> m_files;
    std::vector<std::shared_ptr<Tensor>> m_copies;
    std::vector<std::string> m_names;
    std::vector<Ort::Value> m_values; // over the files' and the copies' memory: go first

    const File& mapped(const std::filesystem::path& folder, const std::string& location, const std::string& what)
    {
        auto [at, added] = m_files.try_emplace(location);
        if (!added) {
            return at->second;
        }
        const std::string path = (folder / location).string();
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat status {};
        if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            const int error = fd < 0 ? errno : EISDIR;
            if (fd >= 0) {
                ::close(fd);
            }
            m_files.erase(at);
            throw std::invalid_argument(what + " keeps its data in '" + location + "', which cannot be read from '"
                                        + path + "': " + std::strerror(error));
        }
        File& file = at->second;
        file.size = size_t(status.st_size);
        if (file.size != 0) {
            void* data = ::mmap(nullptr, file.size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
            if (data == MAP_FAILED) {
                const int error = errno;
                ::close(fd);
                m_files.erase(at);
                throw std::invalid_argument(what + ": external data file '" + path + "' cannot be mapped: "
                                            + std::strerror(error));
            }
            file.data = data;
        }
        ::close(fd);
        return file;
    }
};

} // namespace Quelt::Onnx
