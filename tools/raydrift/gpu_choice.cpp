#include "gpu_choice.h"

#include "cli_error.h"

namespace raydrift::cli {

GpuMode parseGpuMode(std::string const& text) {
    if (text == "off") return GpuMode::Off;
    if (text == "auto") return GpuMode::Auto;
    if (text == "cuda") return GpuMode::Cuda;
    if (text == "opencl") return GpuMode::OpenCl;
    throw UsageError("--gpu expects auto, cuda, opencl or off, got \"" + text + "\"");
}

std::optional<hostsim::GpuDevice> pickGpuDevice(GpuMode mode) {
    if (mode == GpuMode::Off) return std::nullopt;
    const std::vector<hostsim::GpuDevice> devices = hostsim::gpuDevices();
    auto first = [&devices](hostsim::GpuBackend backend, bool cpu) -> std::optional<hostsim::GpuDevice> {
        for (hostsim::GpuDevice const& d : devices)
            if (d.backend == backend && d.cpu == cpu) return d;
        return std::nullopt;
    };
    if (mode == GpuMode::Auto) {
        for (hostsim::GpuBackend b : {hostsim::GpuBackend::Cuda, hostsim::GpuBackend::OpenCL, hostsim::GpuBackend::Metal})
            if (auto d = first(b, false)) return d;
        return std::nullopt;
    }
    if (mode == GpuMode::Cuda) {
        if (auto d = first(hostsim::GpuBackend::Cuda, false)) return d;
        throw CliError("--gpu cuda: no CUDA device (the NVIDIA driver, libcuda.so.1, reports none)");
    }
    if (auto d = first(hostsim::GpuBackend::OpenCL, false)) return d;
    if (auto d = first(hostsim::GpuBackend::OpenCL, true)) return d;
    throw CliError("--gpu opencl: no OpenCL device (no OpenCL driver, libOpenCL.so.1, reports one)");
}

std::string deviceLabel(hostsim::GpuDevice const& device) {
    return device.name + " (" + hostsim::backendName(device.backend) + (device.cpu ? ", CPU device)" : ")");
}

bool offerGpuDevice(hostsim::Host& host, hostsim::GpuDevice const& device) {
    if (host.kind() != hostsim::HostKind::AfterEffects)
        throw UsageError("--gpu renders through the After Effects host's GPU path; drop --host premiere");
    host.useGpuDevice(device);
    return host.announceGpu() == PF_Err_NONE && host.gpuAccepted();
}

}  // namespace raydrift::cli
