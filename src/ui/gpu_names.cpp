#include "ui/gpu_names.h"

#if defined(_WIN32)
#include <dxgi.h>
#include <windows.h>
#else
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
// The devices this build's GPU back ends can use: the Metal device when there is one
// (on Linux only a test's software device).
std::vector<std::u16string> systemGpuNames() {
    const metal::DeviceInfo info = metal::deviceInfo();
    if (!info.available) return {};
    return metalGpuNames(info);
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
