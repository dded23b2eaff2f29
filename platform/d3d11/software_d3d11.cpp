#include "software_d3d11.h"

#include <cstring>
#include <mutex>

#include "d3dcompiler.h"
#include "dxgi1_4.h"
#include "hlsl/hlsl_cpu.h"
#include "hlsl/kernels.h"
#include "vulkan_compute.h"

namespace rdd3d {
namespace {

constexpr HRESULT kNoInterface = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005u);

std::mutex logMutex;
std::vector<std::string> dispatchLog;
Faults current;
bool onVulkan = false;  // kernels run as SPIR-V on the Vulkan device, not as C++

struct Buffer : ID3D11Buffer {
    std::vector<unsigned char> bytes;
};
struct View : ID3D11ShaderResourceView {
    explicit View(Buffer* b) : buffer(b) { buffer->AddRef(); }
    ~View() override { buffer->Release(); }
    Buffer* buffer;
};
struct AccessView : ID3D11UnorderedAccessView {
    explicit AccessView(Buffer* b) : buffer(b) { buffer->AddRef(); }
    ~AccessView() override { buffer->Release(); }
    Buffer* buffer;
};
struct Shader : ID3D11ComputeShader {
    std::string label;  // "source name:entry"
    std::string entry;
    rdhlsl::KernelEntry const* kernel = nullptr;
};

// Every kernel of both sources, found by "source name:entry" as D3DCompile labels it.
rdhlsl::KernelEntry const* findKernel(std::string const& label) {
    static const std::vector<rdhlsl::KernelEntry> all = [] {
        std::vector<rdhlsl::KernelEntry> list = rdhlsl::streakKernels();
        for (auto const& k : rdhlsl::frameKernels()) list.push_back(k);
        return list;
    }();
    for (auto const& k : all)
        if (k.source + ":" + k.name == label) return &k;
    return nullptr;
}
struct Blob : ID3DBlob {
    std::string text;
    void* GetBufferPointer() override { return text.data(); }
    SIZE_T GetBufferSize() override { return text.size(); }
};

struct Adapter : IDXGIAdapter3 {
    HRESULT QueryInterface(REFIID id, void** out) override {
        if (id != __uuidof(IDXGIAdapter3) || !current.memoryQuery) return kNoInterface;
        AddRef();
        *out = static_cast<IDXGIAdapter3*>(this);
        return 0;
    }
    HRESULT QueryVideoMemoryInfo(UINT, DXGI_MEMORY_SEGMENT_GROUP, DXGI_QUERY_VIDEO_MEMORY_INFO* info) override {
        *info = DXGI_QUERY_VIDEO_MEMORY_INFO{current.budget, current.currentUsage, 0, 0};
        return 0;
    }
};

struct DxgiDevice : IDXGIDevice {
    HRESULT GetAdapter(IDXGIAdapter** adapter) override {
        *adapter = new Adapter;
        return 0;
    }
};

struct Device : ID3D11Device {
    HRESULT QueryInterface(REFIID id, void** out) override {
        if (id != __uuidof(IDXGIDevice)) return kNoInterface;
        *out = static_cast<IDXGIDevice*>(new DxgiDevice);
        return 0;
    }
    HRESULT CheckFeatureSupport(D3D11_FEATURE, void* data, UINT size) override {
        if (size != sizeof(D3D11_FEATURE_DATA_DOUBLES)) return kFail;
        static_cast<D3D11_FEATURE_DATA_DOUBLES*>(data)->DoublePrecisionFloatShaderOps = current.fp64 ? 1 : 0;
        return 0;
    }
    HRESULT CreateBuffer(D3D11_BUFFER_DESC const* desc, const void* initial, ID3D11Buffer** out) override {
        if (current.createBuffer != 0 && desc->BindFlags != D3D11_BIND_CONSTANT_BUFFER) return current.createBuffer;
        auto* b = new Buffer;
        b->bytes.assign(desc->ByteWidth, 0);
        if (initial != nullptr) std::memcpy(b->bytes.data(), initial, desc->ByteWidth);
        *out = b;
        return 0;
    }
    HRESULT CreateShaderResourceView(ID3D11Buffer* buffer, D3D11_SHADER_RESOURCE_VIEW_DESC const*,
                                     ID3D11ShaderResourceView** out) override {
        *out = new View(static_cast<Buffer*>(buffer));
        return 0;
    }
    HRESULT CreateUnorderedAccessView(ID3D11Buffer* buffer, D3D11_UNORDERED_ACCESS_VIEW_DESC const*,
                                      ID3D11UnorderedAccessView** out) override {
        *out = new AccessView(static_cast<Buffer*>(buffer));
        return 0;
    }
    HRESULT CreateComputeShader(const void* code, SIZE_T size, ID3D11ClassLinkage*, ID3D11ComputeShader** out) override {
        auto* s = new Shader;
        const std::string label(static_cast<const char*>(code), size);
        s->label = label;
        s->entry = label.substr(label.find(':') + 1);
        s->kernel = findKernel(label);
        *out = s;
        return 0;
    }
};

struct Context : ID3D11DeviceContext {
    Shader* shader = nullptr;
    Buffer* t[4] = {};
    Buffer* u[4] = {};
    Buffer* b[2] = {};
    void CSSetShader(ID3D11ComputeShader* s, ID3D11ClassInstance* const*, UINT) override {
        shader = static_cast<Shader*>(s);
    }
    void CSSetConstantBuffers(UINT first, UINT count, ID3D11Buffer* const* buffers) override {
        for (UINT i = 0; i < count && first + i < 2; ++i) b[first + i] = static_cast<Buffer*>(buffers[i]);
    }
    void CSSetShaderResources(UINT first, UINT count, ID3D11ShaderResourceView* const* views) override {
        for (UINT i = 0; i < count && first + i < 4; ++i)
            t[first + i] = views[i] != nullptr ? static_cast<View*>(views[i])->buffer : nullptr;
    }
    void CSSetUnorderedAccessViews(UINT first, UINT count, ID3D11UnorderedAccessView* const* views,
                                   const UINT*) override {
        for (UINT i = 0; i < count && first + i < 4; ++i)
            u[first + i] = views[i] != nullptr ? static_cast<AccessView*>(views[i])->buffer : nullptr;
    }
    // Runs the kernel's C++ build over every thread of the groups, one at a time.
    void Dispatch(UINT x, UINT y, UINT z) override {
        {
            std::lock_guard<std::mutex> lock(logMutex);
            dispatchLog.push_back(shader != nullptr ? shader->entry : std::string());
        }
        if (shader == nullptr) return;
        if (onVulkan) {
            rdvk::Bytes* tv[4] = {};
            rdvk::Bytes* uv[4] = {};
            rdvk::Bytes* bv[2] = {};
            for (int i = 0; i < 4; ++i) {
                tv[i] = t[i] != nullptr ? &t[i]->bytes : nullptr;
                uv[i] = u[i] != nullptr ? &u[i]->bytes : nullptr;
            }
            for (int i = 0; i < 2; ++i) bv[i] = b[i] != nullptr ? &b[i]->bytes : nullptr;
            rdvk::dispatch(shader->label, tv, uv, bv, x, y, z);
            return;
        }
        if (shader->kernel == nullptr) return;
        const auto bytes = [](Buffer* buffer) { return buffer != nullptr ? buffer->bytes.data() : nullptr; };
        rdhlsl::Bindings bound;
        for (int i = 0; i < 4; ++i) {
            bound.t[i] = bytes(t[i]);
            bound.u[i] = bytes(u[i]);
        }
        bound.b[0] = bytes(b[0]);
        bound.b[1] = bytes(b[1]);
        rdhlsl::KernelEntry const& k = *shader->kernel;
        k.bind(bound);
        for (UINT gz = 0; gz < z; ++gz)
            for (UINT j = 0; j < y * k.groupY; ++j)
                for (UINT i = 0; i < x * k.groupX; ++i) k.run(rdhlsl::uint3{i, j, gz});
    }
    void UpdateSubresource(ID3D11Buffer* buffer, UINT, D3D11_BOX const*, const void* data, UINT, UINT) override {
        auto* target = static_cast<Buffer*>(buffer);
        std::memcpy(target->bytes.data(), data, target->bytes.size());
    }
    void CopyResource(ID3D11Buffer* to, ID3D11Buffer* from) override {
        static_cast<Buffer*>(to)->bytes = static_cast<Buffer*>(from)->bytes;
    }
    HRESULT Map(ID3D11Buffer* buffer, UINT, D3D11_MAP, UINT, D3D11_MAPPED_SUBRESOURCE* out) override {
        *out = D3D11_MAPPED_SUBRESOURCE{static_cast<Buffer*>(buffer)->bytes.data(), 0, 0};
        return 0;
    }
    void Unmap(ID3D11Buffer*, UINT) override {}
};

}  // namespace

Faults& faults() { return current; }
void resetFaults() { current = Faults{}; }

bool useVulkan(bool on, std::string* device) {
    if (on && !rdvk::available(device)) return false;
    onVulkan = on;
    return true;
}

std::vector<std::string> dispatches() {
    std::lock_guard<std::mutex> lock(logMutex);
    return dispatchLog;
}
void clearDispatches() {
    std::lock_guard<std::mutex> lock(logMutex);
    dispatchLog.clear();
}

}  // namespace rdd3d

HRESULT IUnknown::QueryInterface(REFIID, void**) { return rdd3d::kNoInterface; }

HRESULT D3D11CreateDevice(void*, D3D_DRIVER_TYPE, void*, UINT, D3D_FEATURE_LEVEL const*, UINT, UINT,
                          ID3D11Device** device, D3D_FEATURE_LEVEL*, ID3D11DeviceContext** context) {
    if (rdd3d::faults().createDevice != 0) return rdd3d::faults().createDevice;
    *device = new rdd3d::Device;
    *context = new rdd3d::Context;
    return 0;
}

HRESULT D3DCompile(LPCVOID source, SIZE_T size, LPCSTR name, D3D_SHADER_MACRO const*, ID3DInclude*, LPCSTR entry,
                   LPCSTR, UINT, UINT, ID3DBlob** code, ID3DBlob** errors) {
    if (errors != nullptr) *errors = nullptr;
    if (rdd3d::faults().failCompile == entry) return rdd3d::kFail;
    const std::string label = std::string(name) + ":" + entry;
    if (rdd3d::onVulkan &&
        !rdvk::compile(label, std::string(static_cast<const char*>(source), size), entry, nullptr))
        return rdd3d::kFail;
    auto* blob = new rdd3d::Blob;
    blob->text = label;
    *code = blob;
    return 0;
}
