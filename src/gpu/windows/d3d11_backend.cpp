#include "gpu/windows/d3d11_backend.h"

#include <d3d11.h>
#include <d3dcompiler.h>
#include <dxgi1_4.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "gpu/kernels/hlsl_source.h"
#include "gpu/metal_graph.h"
#include "gpu/windows/context_lease.h"
#include "image/streak.h"

namespace raydrift::d3d11 {

namespace {

using Constants = metal::Constants;

[[noreturn]] void fail(HRESULT hr) {
    throw std::runtime_error("D3D11 failure: " + std::to_string(static_cast<std::uint32_t>(hr)));
}
void check(HRESULT hr) {
    if (FAILED(hr)) fail(hr);
}

template <class T>
void release(T*& p) {
    if (p != nullptr) p->Release();
    p = nullptr;
}

// The frame source's constant block: the kernels' constants and the native fields.
struct FrameSettings {
    Constants constants;
    std::int32_t inStride = 0;
    std::int32_t outLayout = 0;  // code + 1; 0 writes the engine image
    std::int32_t inLayout = 0;
    std::int32_t reserved = 0;
    std::int32_t source[4] = {};       // width, height, x, y
    std::int32_t destination[4] = {};  // width, height, x, y
};
static_assert(sizeof(FrameSettings) % 16 == 0);

// Device, immediate context and compiled shaders: made once by the primary context and
// shared by the secondary one.
struct Device {
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* immediate = nullptr;
    bool fp64 = false;
    ID3D11ComputeShader* streak[kStreakKernelCount] = {};
    ID3D11ComputeShader* frame[kFrameKernelCount] = {};
    Device() = default;
    Device(Device const&) = delete;
    Device& operator=(Device const&) = delete;
    ~Device() {
        for (auto*& s : streak) release(s);
        for (auto*& s : frame) release(s);
        release(immediate);
        release(device);
    }
};

// Buffers cached per role, grown on demand and reused across frames.
enum Role { kOriginal, kSelected, kWork, kSpare, kColour, kTemporary, kResult, kPhases, kFactors, kFlags,
            kNativeIn, kNativeOut, kReadback, kFlagsReadback, kRoleCount };

struct Buffer {
    ID3D11Buffer* buffer = nullptr;
    ID3D11ShaderResourceView* srv = nullptr;
    ID3D11UnorderedAccessView* uav = nullptr;
    std::uint64_t bytes = 0;
    void reset() {
        release(srv);
        release(uav);
        release(buffer);
        bytes = 0;
    }
};

struct Context {
    std::shared_ptr<Device> device;
    ID3D11Buffer* settings = nullptr;       // b0
    ID3D11Buffer* frameSettings = nullptr;  // b1
    Buffer cache[kRoleCount];
    Context() = default;
    Context(Context const&) = delete;
    Context& operator=(Context const&) = delete;
    ~Context() {
        for (Buffer& b : cache) b.reset();
        release(settings);
        release(frameSettings);
    }
};

ID3D11ComputeShader* compile(ID3D11Device* device, const char* source, const char* name, const char* entry,
                             const char* failure) {
    ID3DBlob* code = nullptr;
    ID3DBlob* errors = nullptr;
    const HRESULT hr = D3DCompile(source, std::strlen(source), name, nullptr, nullptr, entry, "cs_5_0",
                                  D3DCOMPILE_IEEE_STRICTNESS | D3DCOMPILE_OPTIMIZATION_LEVEL3, 0, &code, &errors);
    release(errors);
    if (FAILED(hr) || code == nullptr) {
        release(code);
        throw std::runtime_error(failure);
    }
    ID3D11ComputeShader* shader = nullptr;
    const HRESULT created = device->CreateComputeShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, &shader);
    release(code);
    check(created);
    return shader;
}

ID3D11Buffer* constantBuffer(ID3D11Device* device, UINT bytes) {
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = bytes;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    ID3D11Buffer* buffer = nullptr;
    check(device->CreateBuffer(&desc, nullptr, &buffer));
    return buffer;
}

std::shared_ptr<Device> createDevice() {
    auto d = std::make_shared<Device>();
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0};
    check(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 1, D3D11_SDK_VERSION, &d->device,
                            nullptr, &d->immediate));
    D3D11_FEATURE_DATA_DOUBLES doubles{};
    d->fp64 = SUCCEEDED(d->device->CheckFeatureSupport(D3D11_FEATURE_DOUBLES, &doubles, sizeof doubles)) &&
              doubles.DoublePrecisionFloatShaderOps != FALSE;
    for (int k = 0; k < kStreakKernelCount; ++k) {
        if (!d->fp64 && needsDoubles(static_cast<StreakKernel>(k))) continue;
        d->streak[k] = compile(d->device, kHlslSources[0], "Raydrift", kStreakEntries[k], "Shader compilation failed");
    }
    if (d->fp64)
        for (int k = 0; k < kFrameKernelCount; ++k)
            d->frame[k] = compile(d->device, kHlslSources[1], "RaydriftFrame", kFrameEntries[k],
                                  "Frame shader compilation failed");
    return d;
}

std::unique_ptr<Context> createContext(std::shared_ptr<Device> device) {
    auto c = std::make_unique<Context>();
    c->device = std::move(device);
    c->settings = constantBuffer(c->device->device, sizeof(Constants));
    c->frameSettings = constantBuffer(c->device->device, sizeof(FrameSettings));
    return c;
}

using Slots = ContextSlots<Context>;
Slots slots;
std::mutex workMutex;  // every device call of every entry, one frame at a time
std::unique_ptr<Context> contexts[2];

// The slot's context: the primary made on first use, the secondary from the primary.
Context* openSlot(int slot) {
    std::lock_guard<std::mutex> lock(workMutex);
    if (!contexts[0]) contexts[0] = createContext(createDevice());
    if (slot == 1 && !contexts[1]) contexts[1] = createContext(contexts[0]->device);
    return contexts[slot].get();
}

Context& current() {
    Context* c = Slots::current();
    if (c == nullptr) throw std::logic_error("Direct3D work outside a lease");
    return *c;
}

std::optional<MemoryInfo> memoryInfo(ID3D11Device* device) {
    IDXGIDevice* dxgi = nullptr;
    if (FAILED(device->QueryInterface(__uuidof(IDXGIDevice), reinterpret_cast<void**>(&dxgi)))) return std::nullopt;
    IDXGIAdapter* adapter = nullptr;
    const HRESULT got = dxgi->GetAdapter(&adapter);
    release(dxgi);
    if (FAILED(got)) return std::nullopt;
    IDXGIAdapter3* adapter3 = nullptr;
    const HRESULT queried = adapter->QueryInterface(__uuidof(IDXGIAdapter3), reinterpret_cast<void**>(&adapter3));
    release(adapter);
    if (FAILED(queried)) return std::nullopt;
    DXGI_QUERY_VIDEO_MEMORY_INFO info{};
    const HRESULT asked = adapter3->QueryVideoMemoryInfo(0, DXGI_MEMORY_SEGMENT_GROUP_LOCAL, &info);
    release(adapter3);
    if (FAILED(asked)) return std::nullopt;
    return MemoryInfo{info.Budget, info.CurrentUsage};
}

// Refuses the frame when its buffers would not fit what the budget leaves.
void checkMemory(Context& c, std::vector<std::pair<Role, std::uint64_t>> const& needed, const char* message) {
    std::vector<std::uint64_t> have, want;
    for (auto const& [role, bytes] : needed) {
        have.push_back(c.cache[role].bytes);
        want.push_back(bytes);
    }
    checkBudget(memoryInfo(c.device->device), extraBytes(have, want), message);
}

enum class Kind { Structured, Raw, Staging };

// The role's buffer of exactly `bytes` (structured: elements of `stride` bytes), reused
// when the cached one has that size.
Buffer& buffer(Role role, std::uint64_t elements, UINT stride, Kind kind) {
    Context& c = current();
    const std::uint64_t bytes = kind == Kind::Raw ? rawBytes(elements) : structuredBytes(std::max<std::uint64_t>(elements, 1), stride);
    Buffer& b = c.cache[role];
    if (b.buffer != nullptr && b.bytes == bytes) return b;
    b.reset();
    if (bytes > 0xffffffffull) throw std::runtime_error("GPU buffer too large");
    ID3D11Device* device = c.device->device;
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = static_cast<UINT>(bytes);
    if (kind == Kind::Staging) {
        desc.Usage = D3D11_USAGE_STAGING;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    } else {
        desc.Usage = D3D11_USAGE_DEFAULT;
        desc.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_UNORDERED_ACCESS;
        desc.MiscFlags = kind == Kind::Raw ? D3D11_RESOURCE_MISC_BUFFER_ALLOW_RAW_VIEWS
                                           : D3D11_RESOURCE_MISC_BUFFER_STRUCTURED;
        desc.StructureByteStride = kind == Kind::Raw ? 0 : stride;
    }
    check(device->CreateBuffer(&desc, nullptr, &b.buffer));
    b.bytes = bytes;
    if (kind == Kind::Staging) return b;
    const UINT count = kind == Kind::Raw ? static_cast<UINT>(bytes / 4) : static_cast<UINT>(bytes / stride);
    D3D11_SHADER_RESOURCE_VIEW_DESC srv{};
    srv.ViewDimension = D3D11_SRV_DIMENSION_BUFFEREX;
    srv.Format = kind == Kind::Raw ? DXGI_FORMAT_R32_TYPELESS : DXGI_FORMAT_UNKNOWN;
    srv.BufferEx.NumElements = count;
    srv.BufferEx.Flags = kind == Kind::Raw ? static_cast<UINT>(D3D11_BUFFEREX_SRV_FLAG_RAW) : 0u;
    check(device->CreateShaderResourceView(b.buffer, &srv, &b.srv));
    D3D11_UNORDERED_ACCESS_VIEW_DESC uav{};
    uav.ViewDimension = D3D11_UAV_DIMENSION_BUFFER;
    uav.Format = kind == Kind::Raw ? DXGI_FORMAT_R32_TYPELESS : DXGI_FORMAT_UNKNOWN;
    uav.Buffer.NumElements = count;
    uav.Buffer.Flags = kind == Kind::Raw ? static_cast<UINT>(D3D11_BUFFER_UAV_FLAG_RAW) : 0u;
    check(device->CreateUnorderedAccessView(b.buffer, &uav, &b.uav));
    return b;
}

Buffer& image(Role role, int w, int h) {
    return buffer(role, static_cast<std::uint64_t>(std::max(w, 0)) * static_cast<std::uint64_t>(std::max(h, 0)), 16,
                  Kind::Structured);
}

void upload(Buffer& b, const void* data) { current().device->immediate->UpdateSubresource(b.buffer, 0, nullptr, data, 0, 0); }

// One dispatch: shader resources t0…, unordered-access views u0…, groups covering
// width × height threads (16 × 16 per group, or 64 for row and column kernels).
void dispatch(ID3D11ComputeShader* shader, std::vector<Buffer*> const& inputs, std::vector<Buffer*> const& outputs,
              int width, int height, bool linear) {
    if (shader == nullptr) throw std::logic_error("kernel not compiled on this device");
    Context& c = current();
    ID3D11DeviceContext* x = c.device->immediate;
    std::vector<ID3D11ShaderResourceView*> srvs;
    for (Buffer* b : inputs) srvs.push_back(b != nullptr ? b->srv : nullptr);
    std::vector<ID3D11UnorderedAccessView*> uavs;
    for (Buffer* b : outputs) uavs.push_back(b != nullptr ? b->uav : nullptr);
    ID3D11Buffer* constants[2] = {c.settings, c.frameSettings};
    x->CSSetShader(shader, nullptr, 0);
    x->CSSetConstantBuffers(0, 2, constants);
    x->CSSetShaderResources(0, static_cast<UINT>(srvs.size()), srvs.data());
    x->CSSetUnorderedAccessViews(0, static_cast<UINT>(uavs.size()), uavs.data(), nullptr);
    const UINT gx = linear ? (static_cast<UINT>(width) + 63) / 64 : (static_cast<UINT>(width) + 15) / 16;
    const UINT gy = linear ? 1 : (static_cast<UINT>(height) + 15) / 16;
    if (gx > 0 && gy > 0) x->Dispatch(gx, gy, 1);
    // Unbind, so that the next pass may read what this one wrote.
    std::vector<ID3D11ShaderResourceView*> noSrvs(srvs.size(), nullptr);
    std::vector<ID3D11UnorderedAccessView*> noUavs(uavs.size(), nullptr);
    x->CSSetShaderResources(0, static_cast<UINT>(noSrvs.size()), noSrvs.data());
    x->CSSetUnorderedAccessViews(0, static_cast<UINT>(noUavs.size()), noUavs.data(), nullptr);
}

void readBack(Buffer& from, Role staging, void* to, std::size_t bytes) {
    Context& c = current();
    Buffer& s = buffer(staging, from.bytes, 1, Kind::Staging);
    ID3D11DeviceContext* x = c.device->immediate;
    x->CopyResource(s.buffer, from.buffer);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    check(x->Map(s.buffer, 0, D3D11_MAP_READ, 0, &mapped));
    std::memcpy(to, mapped.pData, bytes);
    x->Unmap(s.buffer, 0);
}

ID3D11ComputeShader* streakShader(StreakKernel k) { return current().device->streak[static_cast<int>(k)]; }
ID3D11ComputeShader* frameShader(int k) { return current().device->frame[k]; }

// The phase table of the diffraction banding and the Details column factors.
void uploadTables(Constants const& c, RenderSettings const& s) {
    const std::vector<float> phases = metal::phaseTable(c);
    const std::vector<float> factors = metal::detailsFactors(c, s);
    upload(buffer(kPhases, phases.size() / 4, 16, Kind::Structured), phases.data());
    upload(buffer(kFactors, factors.size(), 4, Kind::Structured), factors.data());
}

// The streak passes from the selection (kw × kh) to the colour-stage image (cw × ch),
// which the function returns.
Buffer& encodeStreaks(Constants const& c, RenderSettings const& s, std::vector<StreakKernel> const& passes,
                      Buffer& selected) {
    uploadTables(c, s);
    Buffer& phases = current().cache[kPhases];
    Buffer& factors = current().cache[kFactors];
    Buffer* work = &image(kWork, c.ww, c.wh);
    Buffer* spare = &buffer(kSpare, static_cast<std::uint64_t>(c.ww + 1) * static_cast<std::uint64_t>(std::max(c.wh, 1)), 16, Kind::Structured);
    Buffer& out = image(kColour, c.cw, c.ch);
    for (StreakKernel k : passes) {
        switch (k) {
        case StreakKernel::Rotate:
            dispatch(streakShader(k), {&selected}, {work}, c.ww, c.wh, false);
            break;
        case StreakKernel::HorizontalCpuPrefix:
            dispatch(streakShader(k), {work}, {spare}, c.wh, 1, true);
            break;
        case StreakKernel::HorizontalCpuWindow:
            dispatch(streakShader(k), {spare}, {work}, c.ww, c.wh, false);
            break;
        case StreakKernel::Horizontal:
        case StreakKernel::Vertical:
            dispatch(streakShader(k), {work, &phases, &factors}, {spare}, c.ww, c.wh, false);
            std::swap(work, spare);
            break;
        case StreakKernel::HorizontalRolling:
            dispatch(streakShader(k), {work}, {spare}, c.wh, 1, true);
            std::swap(work, spare);
            break;
        case StreakKernel::VerticalRolling:
        case StreakKernel::VerticalModulatedRolling:
            dispatch(streakShader(k), {work, &phases}, {spare}, c.ww, 1, true);
            std::swap(work, spare);
            break;
        case StreakKernel::Crop:
            dispatch(streakShader(k), {work, &phases, &factors}, {&out}, c.cw, c.ch, false);
            break;
        case StreakKernel::ExtendOriginal:
            dispatch(streakShader(k), {&selected}, {&out}, c.cw, c.ch, false);
            break;
        default:
            throw std::logic_error("not a streak pass");
        }
    }
    return out;
}

// The frame's kernels from the original on the device to `result`, or to the native
// output; the flags word tells whether the input needs the CPU's precision.
void encodeFrame(Constants const& c, RenderSettings const& s, Buffer* nativeIn, Buffer* nativeOut, Buffer& result) {
    Buffer& original = current().cache[kOriginal];
    Buffer& flags = buffer(kFlags, 1, 4, Kind::Structured);
    const std::uint32_t zero[1] = {0};
    upload(flags, zero);
    const auto composite = [&](Buffer* colour) {
        dispatch(frameShader(3), {colour, &original, nativeIn}, {&result, &flags, nativeOut}, c.iw, c.ih, false);
    };
    if (c.view == static_cast<int>(ViewMode::Matte) || c.opacity <= 0.0f || c.intensity <= 0.0f) {
        composite(&original);
        return;
    }
    Buffer& selected = image(kSelected, c.kw, c.kh);
    dispatch(frameShader(0), {nullptr, &original}, {&selected, &flags}, c.kw, c.kh, false);
    image::StreakGeometry g;
    g.length = c.length;
    g.halfWidth = c.radius;
    g.reach = c.r;
    g.strength = c.modulation > 0.0f ? 1.0f : 0.0f;
    const std::vector<StreakKernel> passes = streakPasses(g, s, true, c.margin > 0);
    Buffer* colour = passes.empty() ? &selected : &encodeStreaks(c, s, passes, selected);
    if (c.margin >= 1) {
        Buffer& temporary = image(kTemporary, c.cw, c.ch);
        dispatch(frameShader(1), {colour}, {&temporary, &flags}, c.cw, c.ch, false);
        dispatch(frameShader(2), {&temporary, &original}, {colour, &flags}, c.cw, c.ch, false);
    }
    composite(colour);
}

const char* const kCpuPrecision = "Nonfinite/high-HDR input uses CPU precision renderer";

void requireCpuPrecisionFree() {
    std::uint32_t flags = 0;
    readBack(current().cache[kFlags], kFlagsReadback, &flags, sizeof flags);
    if ((flags & 2u) != 0) throw std::runtime_error(kCpuPrecision);
}

// The selection test of the frame kernels, on a selection made by the CPU: a value that
// is not finite, or brighter than the float passes reproduce within the CPU's rounding.
void requireCpuPrecisionFree(std::vector<image::Pixel> const& pixels, float intensity) {
    const float limit = 64.0f / std::max(1.0f, intensity);
    for (image::Pixel const& p : pixels)
        if (!std::isfinite(p.r) || !std::isfinite(p.g) || !std::isfinite(p.b) || !std::isfinite(p.a) ||
            std::fabs(p.r) > limit || std::fabs(p.g) > limit || std::fabs(p.b) > limit)
            throw std::runtime_error(kCpuPrecision);
}

// Frame constants for a w × h frame with animated settings; refuses what the GPU cannot
// reproduce before anything runs.
Constants frameConstants(int w, int h, RenderSettings const& animated, bool fp64) {
    if (w <= 0 || h <= 0) throw std::runtime_error("Empty GPU frame");
    if (!fp64) throw std::runtime_error("GPU frame requires precise FP64 division");
    return metal::parameters(w, h, animated);
}

void setConstants(Constants const& c, FrameSettings const& f) {
    Context& ctx = current();
    ctx.device->immediate->UpdateSubresource(ctx.settings, 0, nullptr, &c, 0, 0);
    ctx.device->immediate->UpdateSubresource(ctx.frameSettings, 0, nullptr, &f, 0, 0);
}

std::uint64_t imageBytes(int w, int h) { return 16ull * static_cast<std::uint64_t>(std::max(w, 1)) * static_cast<std::uint64_t>(std::max(h, 1)); }

// The buffers of the streak passes, from the selection to the colour-stage image.
std::vector<std::pair<Role, std::uint64_t>> streakBuffers(Constants const& c) {
    return {{kSelected, imageBytes(c.kw, c.kh)}, {kWork, imageBytes(c.ww, c.wh)},
            {kSpare, imageBytes(c.ww + 1, c.wh)}, {kColour, imageBytes(c.cw, c.ch)}};
}

std::vector<std::pair<Role, std::uint64_t>> frameBuffers(Constants const& c) {
    auto buffers = streakBuffers(c);
    buffers.push_back({kOriginal, imageBytes(c.iw, c.ih)});
    buffers.push_back({kResult, imageBytes(c.iw, c.ih)});
    buffers.push_back({kTemporary, imageBytes(c.cw, c.ch)});
    return buffers;
}

void declined(std::string* message, const char* reason) noexcept {
    if (message == nullptr) return;
    try {
        *message = reason;
    } catch (...) {
    }
}

template <class F>
bool leased(std::string* message, F&& work) {
    try {
        Slots::Lease lease(slots, openSlot);
        std::lock_guard<std::mutex> lock(workMutex);
        work();
        return true;
    } catch (std::exception const& e) {
        declined(message, e.what());
    } catch (...) {
        declined(message, "D3D11 failure: unknown");
    }
    return false;
}

// Input the GPU cannot composite as the CPU does: negative colour under a non-additive
// blend that is composited over the source.
void checkSignedInput(std::vector<image::Pixel> const& pixels, RenderSettings const& s) {
    const bool blended = s.view != ViewMode::Matte && s.view != ViewMode::Black && s.view != ViewMode::Alpha;
    if (!blended || s.blendMode == BlendMode::Add || s.blendMode == BlendMode::LinearDodge) return;
    for (image::Pixel const& p : pixels)
        if (p.r < 0.0f || p.g < 0.0f || p.b < 0.0f)
            throw std::runtime_error("Signed HDR with non-additive blend uses CPU renderer");
}

}  // namespace

bool frame(image::Image const& input, image::Image& output, RenderSettings const& settings, std::string* message) {
    return leased(message, [&] {
        const RenderSettings animated = animatedSettings(settings);
        const Constants c = frameConstants(input.width, input.height, animated, current().device->fp64);
        checkSignedInput(input.pixels, animated);
        checkMemory(current(), frameBuffers(c), kFrameBudgetMessage);
        upload(image(kOriginal, c.iw, c.ih), input.pixels.data());
        setConstants(c, FrameSettings{c});
        Buffer& result = image(kResult, c.iw, c.ih);
        encodeFrame(c, animated, nullptr, nullptr, result);
        requireCpuPrecisionFree();
        std::vector<image::Pixel> pixels(input.pixelCount());
        readBack(result, kReadback, pixels.data(), pixels.size() * sizeof(image::Pixel));
        output.width = input.width;
        output.height = input.height;
        output.pixels = std::move(pixels);
    });
}

bool nativeFrame(NativeWorld const& requested, RenderSettings const& settings, std::string* message) {
    return leased(message, [&] {
        const NativeWorld w = checkedNativeWorld(requested);
        const RenderSettings animated = animatedSettings(settings);
        const Constants c = frameConstants(w.width, w.height, animated, current().device->fp64);
        const std::uint64_t inRow = static_cast<std::uint64_t>(w.inputStride);
        const std::uint64_t outRow = static_cast<std::uint64_t>(w.destinationWidth) *
                                     static_cast<std::uint64_t>(nativeBytesPerPixel(w.outputLayout));
        const std::uint64_t inBytes = inRow * static_cast<std::uint64_t>(w.sourceHeight);
        const std::uint64_t outBytes = outRow * static_cast<std::uint64_t>(w.destinationHeight);
        auto needed = frameBuffers(c);
        needed.push_back({kNativeIn, inBytes});
        needed.push_back({kNativeOut, outBytes});
        checkMemory(current(), needed, kFrameBudgetMessage);
        FrameSettings f{c};
        f.inStride = w.inputStride;
        f.outLayout = w.outputLayout + 1;
        f.inLayout = w.inputLayout;
        const std::int32_t source[4] = {w.sourceWidth, w.sourceHeight, w.sourceX, w.sourceY};
        const std::int32_t destination[4] = {w.destinationWidth, w.destinationHeight, w.destinationX, w.destinationY};
        std::memcpy(f.source, source, sizeof source);
        std::memcpy(f.destination, destination, sizeof destination);
        Buffer& in = buffer(kNativeIn, inBytes, 1, Kind::Raw);
        upload(in, w.input);
        Buffer& out = buffer(kNativeOut, outBytes, 1, Kind::Raw);
        Buffer& original = image(kOriginal, c.iw, c.ih);
        FrameSettings prepare = f;
        prepare.outLayout = 0;
        setConstants(c, prepare);
        dispatch(frameShader(4), {nullptr, nullptr, &in}, {&original}, c.iw, c.ih, false);
        setConstants(c, f);
        Buffer& result = image(kResult, c.iw, c.ih);
        encodeFrame(c, animated, &in, &out, result);
        requireCpuPrecisionFree();
        std::vector<unsigned char> bytes(static_cast<std::size_t>(outBytes));
        readBack(out, kReadback, bytes.data(), bytes.size());
        auto* to = static_cast<unsigned char*>(w.output);
        for (int y = 0; y < w.destinationHeight; ++y)
            std::memcpy(to + static_cast<std::size_t>(y) * static_cast<std::size_t>(w.outputStride),
                        bytes.data() + static_cast<std::size_t>(y) * outRow, static_cast<std::size_t>(outRow));
    });
}

bool matte(image::Image const& input, image::Image& output, RenderSettings const& settings, std::string* message) {
    return leased(message, [&] {
        if (input.width <= 0 || input.height <= 0) throw std::runtime_error("Empty GPU frame");
        Constants c{};
        c.iw = input.width;
        c.ih = input.height;
        metal::setMaskConstants(c, settings);
        checkMemory(current(), {{kOriginal, imageBytes(c.iw, c.ih)}, {kResult, imageBytes(c.iw, c.ih)}},
                    kStageBudgetMessage);
        Buffer& original = image(kOriginal, c.iw, c.ih);
        upload(original, input.pixels.data());
        setConstants(c, FrameSettings{c});
        Buffer& result = image(kResult, c.iw, c.ih);
        dispatch(streakShader(StreakKernel::LuminanceMatte), {&original}, {&result}, c.iw, c.ih, false);
        std::vector<image::Pixel> pixels(input.pixelCount());
        readBack(result, kReadback, pixels.data(), pixels.size() * sizeof(image::Pixel));
        output.width = input.width;
        output.height = input.height;
        output.pixels = std::move(pixels);
    });
}

bool streaks(image::Image& selection, image::Image& scratch, RenderSettings const& settings, int margin,
             std::string* message) {
    margin = std::max(margin, 0);
    image::StreakGeometry g;
    try {
        g = image::streakGeometry(selection.width, selection.height, settings, margin);
    } catch (std::exception const& e) {
        declined(message, e.what());
        return false;
    }
    // Nothing to smear and no margin to add: the selection is the result already.
    if (selection.empty() || (g.length < 1 && g.halfWidth < 1 && margin == 0)) return true;
    return leased(message, [&] {
        const bool fp64 = current().device->fp64;
        checkStreakStage(g, settings, fp64);
        Constants c{};
        c.iw = c.kw = selection.width;
        c.ih = c.kh = selection.height;
        c.factor = 1;
        metal::setStreakConstants(c, g, settings, margin);
        checkMemory(current(), streakBuffers(c), kStageBudgetMessage);
        requireCpuPrecisionFree(selection.pixels, settings.intensity);
        Buffer& selected = image(kSelected, c.kw, c.kh);
        upload(selected, selection.pixels.data());
        setConstants(c, FrameSettings{c});
        Buffer& out = encodeStreaks(c, settings, streakPasses(g, settings, fp64, margin > 0), selected);
        scratch.resize(c.cw, c.ch);
        readBack(out, kReadback, scratch.pixels.data(), scratch.pixelCount() * sizeof(image::Pixel));
        std::swap(selection, scratch);
    });
}

void shutdown() {
    slots.whenIdle([] {
        std::lock_guard<std::mutex> lock(workMutex);
        contexts[1].reset();
        contexts[0].reset();
    });
}

}  // namespace raydrift::d3d11
