// Our stand-in for the Direct3D 11 declarations the Windows back end uses, for the Linux
// build and its tests: the names, members and values the back end relies on, nothing
// else. The objects behind them are a software device (software_d3d11.cpp) that records
// every call, fails where a test tells it to and runs the kernels' C++ build.
#pragma once

#include <cstddef>
#include <cstdint>

using HRESULT = std::int32_t;
using UINT = unsigned int;
using UINT64 = std::uint64_t;
using SIZE_T = std::size_t;
using BOOL = int;
using WINBOOL = int;
using LPCSTR = const char*;
using LPCVOID = const void*;
using REFIID = const void*;
#ifndef FALSE
#define FALSE 0
#endif
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define STDMETHODCALLTYPE
#define D3D11_SDK_VERSION 7

namespace rdd3d {
// One identity per interface type, as __uuidof gives on Windows.
template <class T>
const void* uuidOf() {
    static const char tag = 0;
    return &tag;
}
}  // namespace rdd3d
#define __uuidof(type) (::rdd3d::uuidOf<type>())

struct IUnknown {
    virtual ~IUnknown() = default;
    virtual HRESULT QueryInterface(REFIID id, void** out);
    UINT AddRef() { return ++references_; }
    UINT Release() {
        const UINT left = --references_;
        if (left == 0) delete this;
        return left;
    }

private:
    UINT references_ = 1;
};

enum D3D_DRIVER_TYPE { D3D_DRIVER_TYPE_HARDWARE = 1 };
enum D3D_FEATURE_LEVEL { D3D_FEATURE_LEVEL_11_0 = 0xb000 };
enum D3D11_FEATURE { D3D11_FEATURE_DOUBLES = 1 };
struct D3D11_FEATURE_DATA_DOUBLES {
    WINBOOL DoublePrecisionFloatShaderOps;
};
enum D3D11_USAGE { D3D11_USAGE_DEFAULT = 0, D3D11_USAGE_STAGING = 3 };
enum : UINT {
    D3D11_BIND_CONSTANT_BUFFER = 0x4,
    D3D11_BIND_SHADER_RESOURCE = 0x8,
    D3D11_BIND_UNORDERED_ACCESS = 0x80,
    D3D11_CPU_ACCESS_READ = 0x20000,
    D3D11_RESOURCE_MISC_BUFFER_ALLOW_RAW_VIEWS = 0x20,
    D3D11_RESOURCE_MISC_BUFFER_STRUCTURED = 0x40,
    D3D11_BUFFEREX_SRV_FLAG_RAW = 0x1,
    D3D11_BUFFER_UAV_FLAG_RAW = 0x1,
};
enum DXGI_FORMAT { DXGI_FORMAT_UNKNOWN = 0, DXGI_FORMAT_R32_TYPELESS = 39 };
enum D3D11_SRV_DIMENSION { D3D11_SRV_DIMENSION_BUFFEREX = 11 };
enum D3D11_UAV_DIMENSION { D3D11_UAV_DIMENSION_BUFFER = 1 };
enum D3D11_MAP { D3D11_MAP_READ = 1 };

struct D3D11_BUFFER_DESC {
    UINT ByteWidth;
    D3D11_USAGE Usage;
    UINT BindFlags;
    UINT CPUAccessFlags;
    UINT MiscFlags;
    UINT StructureByteStride;
};
struct D3D11_BUFFEREX_SRV {
    UINT FirstElement;
    UINT NumElements;
    UINT Flags;
};
struct D3D11_SHADER_RESOURCE_VIEW_DESC {
    DXGI_FORMAT Format;
    D3D11_SRV_DIMENSION ViewDimension;
    D3D11_BUFFEREX_SRV BufferEx;
};
struct D3D11_BUFFER_UAV {
    UINT FirstElement;
    UINT NumElements;
    UINT Flags;
};
struct D3D11_UNORDERED_ACCESS_VIEW_DESC {
    DXGI_FORMAT Format;
    D3D11_UAV_DIMENSION ViewDimension;
    D3D11_BUFFER_UAV Buffer;
};
struct D3D11_MAPPED_SUBRESOURCE {
    void* pData;
    UINT RowPitch;
    UINT DepthPitch;
};
struct D3D11_BOX;
struct D3D11_CLASS_LINKAGE;
struct ID3D11ClassLinkage;
struct ID3D11ClassInstance;

struct ID3D11Buffer : IUnknown {};
struct ID3D11ShaderResourceView : IUnknown {};
struct ID3D11UnorderedAccessView : IUnknown {};
struct ID3D11ComputeShader : IUnknown {};

struct ID3D11Device : IUnknown {
    virtual HRESULT CheckFeatureSupport(D3D11_FEATURE feature, void* data, UINT size) = 0;
    virtual HRESULT CreateBuffer(D3D11_BUFFER_DESC const* desc, const void* initial, ID3D11Buffer** out) = 0;
    virtual HRESULT CreateShaderResourceView(ID3D11Buffer* buffer, D3D11_SHADER_RESOURCE_VIEW_DESC const* desc,
                                             ID3D11ShaderResourceView** out) = 0;
    virtual HRESULT CreateUnorderedAccessView(ID3D11Buffer* buffer, D3D11_UNORDERED_ACCESS_VIEW_DESC const* desc,
                                              ID3D11UnorderedAccessView** out) = 0;
    virtual HRESULT CreateComputeShader(const void* code, SIZE_T size, ID3D11ClassLinkage* linkage,
                                        ID3D11ComputeShader** out) = 0;
};

struct ID3D11DeviceContext : IUnknown {
    virtual void CSSetShader(ID3D11ComputeShader* shader, ID3D11ClassInstance* const* instances, UINT count) = 0;
    virtual void CSSetConstantBuffers(UINT first, UINT count, ID3D11Buffer* const* buffers) = 0;
    virtual void CSSetShaderResources(UINT first, UINT count, ID3D11ShaderResourceView* const* views) = 0;
    virtual void CSSetUnorderedAccessViews(UINT first, UINT count, ID3D11UnorderedAccessView* const* views,
                                           const UINT* counts) = 0;
    virtual void Dispatch(UINT x, UINT y, UINT z) = 0;
    virtual void UpdateSubresource(ID3D11Buffer* buffer, UINT sub, D3D11_BOX const* box, const void* data, UINT row,
                                   UINT depth) = 0;
    virtual void CopyResource(ID3D11Buffer* to, ID3D11Buffer* from) = 0;
    virtual HRESULT Map(ID3D11Buffer* buffer, UINT sub, D3D11_MAP type, UINT flags, D3D11_MAPPED_SUBRESOURCE* out) = 0;
    virtual void Unmap(ID3D11Buffer* buffer, UINT sub) = 0;
};

HRESULT D3D11CreateDevice(void* adapter, D3D_DRIVER_TYPE type, void* software, UINT flags,
                          D3D_FEATURE_LEVEL const* levels, UINT count, UINT sdk, ID3D11Device** device,
                          D3D_FEATURE_LEVEL* level, ID3D11DeviceContext** context);
