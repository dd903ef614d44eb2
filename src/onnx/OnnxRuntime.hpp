// Quelt::Onnx::initApi, typeName and elementSize: the runtime's function table and what it says
// of its element types, shared by every module and program that calls the runtime; and the
// element table's codes as the runtime's enumerators.
#pragma once

// The headers may be newer than the runtime library: the function table is fetched by hand
// (initApi) for the C API version this code is written against.
#ifndef ORT_API_MANUAL_INIT
#define ORT_API_MANUAL_INIT
#endif
#include <onnxruntime_cxx_api.h>

#include "types/Element.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace Quelt::Onnx {

// Every runtime call made here exists in this version of the C API.
inline constexpr uint32_t apiVersion = 17;

// Hands the wrapper classes the runtime's function table; runs once, before any model exists.
inline void initApi()
{
    const OrtApiBase* base = OrtGetApiBase();
    const OrtApi* api = base->GetApi(apiVersion);
    if (api == nullptr) {
        throw std::runtime_error(std::string("ONNX Runtime ") + base->GetVersionString()
                                 + " does not provide C API version " + std::to_string(apiVersion));
    }
    Ort::InitApi(api);
}

// The enumerator's own name, as the error messages show it.
inline std::string typeName(ONNXTensorElementDataType type)
{
    switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E4M3FN: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E4M3FN";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E4M3FNUZ: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E4M3FNUZ";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E5M2: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E5M2";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E5M2FNUZ: return "ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E5M2FNUZ";
    default: return "ONNX_TENSOR_ELEMENT_DATA_TYPE " + std::to_string(static_cast<int>(type));
    }
}

// The element table's codes are the runtime's numbers.
inline constexpr ONNXTensorElementDataType onnxType(ElementCode code) { return ONNXTensorElementDataType(code); }
inline constexpr ElementCode elementCode(ONNXTensorElementDataType type) { return ElementCode(type); }
static_assert(onnxType(ElementCode::Float) == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT
              && onnxType(ElementCode::String) == ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING
              && onnxType(ElementCode::Complex128) == ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128
              && onnxType(ElementCode::BFloat16) == ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16
              && onnxType(ElementCode::Float8E5M2FNUZ) == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E5M2FNUZ);

// Bytes per element of the fixed-size element types; 0 for strings and for types unknown here.
inline size_t elementSize(ONNXTensorElementDataType type)
{
    if (const ElementInfo* entry = findElement(elementCode(type))) {
        return entry->size;
    }
    // The 8-bit float formats, which the table leaves out: no buffer format names them.
    return type >= ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E4M3FN && type <= ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E5M2FNUZ ? 1 : 0;
}

} // namespace Quelt::Onnx
