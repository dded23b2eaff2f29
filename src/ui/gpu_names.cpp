#include "ui/gpu_names.h"

#if defined(_WIN32)
#include <dxgi.h>
#include <windows.h>
#else
#define CL_TARGET_OPENCL_VERSION 120
#include <CL/cl.h>
#include <dlfcn.h>

#include <algorithm>
#include <string>

#include "gpu/metal_context.h"
#endif

namespace raydrift::ui {

namespace {

#if defined(_WIN32)
// Every adapter DXGI enumerates, in enumeration order; adapterNames keeps the hardware.
std::vector<std::u16string> systemGpuNames() {
    std::vector<AdapterDescription> adapters;
    IDXGIFactory1* factory = nullptr;
    if (FAILED(CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(&factory)))) return {};
    IDXGIAdapter1* adapter = nullptr;
    for (UINT i = 0; factory->EnumAdapters1(i, &adapter) != DXGI_ERROR_NOT_FOUND; ++i) {
        DXGI_ADAPTER_DESC1 desc{};
        AdapterDescription& a = adapters.emplace_back();
        a.described = SUCCEEDED(adapter->GetDesc1(&desc));
        if (a.described) {
            a.software = (desc.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) != 0;
            for (const WCHAR* c = desc.Description; *c != 0; ++c) a.name.push_back(static_cast<char16_t>(*c));
        }
        adapter->Release();
    }
    factory->Release();
    return adapterNames(adapters);
}
#else
std::u16string widened(std::string const& text) { return std::u16string(text.begin(), text.end()); }

// The GPUs the CUDA driver reports, by name; none without the driver.
std::vector<std::u16string> cudaNames() {
    void* library = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return {};
    using Init = int (*)(unsigned);
    using Count = int (*)(int*);
    using Get = int (*)(int*, int);
    using Name = int (*)(char*, int, int);
    auto init = reinterpret_cast<Init>(dlsym(library, "cuInit"));
    auto count = reinterpret_cast<Count>(dlsym(library, "cuDeviceGetCount"));
    auto get = reinterpret_cast<Get>(dlsym(library, "cuDeviceGet"));
    auto name = reinterpret_cast<Name>(dlsym(library, "cuDeviceGetName"));
    std::vector<std::u16string> names;
    int n = 0;
    if (!init || !count || !get || !name || init(0) != 0 || count(&n) != 0) return names;
    for (int i = 0; i < n; ++i) {
        char text[256] = {};
        int device = 0;
        if (get(&device, i) == 0 && name(text, static_cast<int>(sizeof text) - 1, device) == 0)
            names.push_back(widened(text));
    }
    return names;
}

// The GPU and accelerator devices of every OpenCL platform, by name. CPU devices (such
// as PoCL's) are left out: they are processors, not graphics hardware.
std::vector<std::u16string> openClNames() {
    void* library = dlopen("libOpenCL.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return {};
    auto platformIds = reinterpret_cast<decltype(&::clGetPlatformIDs)>(dlsym(library, "clGetPlatformIDs"));
    auto deviceIds = reinterpret_cast<decltype(&::clGetDeviceIDs)>(dlsym(library, "clGetDeviceIDs"));
    auto deviceInfo = reinterpret_cast<decltype(&::clGetDeviceInfo)>(dlsym(library, "clGetDeviceInfo"));
    std::vector<std::u16string> names;
    cl_uint platforms = 0;
    if (!platformIds || !deviceIds || !deviceInfo || platformIds(0, nullptr, &platforms) != CL_SUCCESS) return names;
    std::vector<cl_platform_id> ids(platforms);
    if (platforms == 0 || platformIds(platforms, ids.data(), nullptr) != CL_SUCCESS) return names;
    const cl_device_type wanted = CL_DEVICE_TYPE_GPU | CL_DEVICE_TYPE_ACCELERATOR;
    for (cl_platform_id platform : ids) {
        cl_uint count = 0;
        if (deviceIds(platform, wanted, 0, nullptr, &count) != CL_SUCCESS || count == 0) continue;
        std::vector<cl_device_id> devices(count);
        if (deviceIds(platform, wanted, count, devices.data(), nullptr) != CL_SUCCESS) continue;
        for (cl_device_id device : devices) {
            char text[256] = {};
            if (deviceInfo(device, CL_DEVICE_NAME, sizeof text - 1, text, nullptr) == CL_SUCCESS && text[0] != 0)
                names.push_back(widened(text));
        }
    }
    return names;
}

// The devices this build's GPU back ends can use: the Metal device when there is one
// (on Linux only a test's software device), then the CUDA and OpenCL GPUs; a card seen
// by both drivers under one name is listed once.
std::vector<std::u16string> systemGpuNames() {
    std::vector<std::u16string> names;
    const metal::DeviceInfo info = metal::deviceInfo();
    if (info.available) names = metalGpuNames(info);
    for (auto const& list : {cudaNames(), openClNames()})
        for (std::u16string const& name : list)
            if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    return names;
}
#endif

}  // namespace

std::vector<std::u16string> namesOrNoneLine(std::vector<std::u16string> names) {
    if (names.empty()) names.push_back(u"No GPU hardware reported by the system.");
    return names;
}

std::vector<std::u16string> adapterNames(std::vector<AdapterDescription> const& adapters) {
    std::vector<std::u16string> names;
    for (AdapterDescription const& a : adapters)
        if (a.described && !a.software) names.push_back(a.name);
    return names;
}

std::vector<std::u16string> const& gpuNames() {
    static const std::vector<std::u16string> names = namesOrNoneLine(systemGpuNames());
    return names;
}

}  // namespace raydrift::ui
