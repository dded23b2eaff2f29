// `--gpu auto|cuda|opencl|off`: which device the first host's GPU path renders on.
#pragma once

#include <optional>
#include <string>

#include "hostsim.h"

namespace raydrift::cli {

enum class GpuMode { Off, Auto, Cuda, OpenCl };

// Throws UsageError for anything but the four words.
GpuMode parseGpuMode(std::string const& text);

// The device for `mode`: auto takes the first GPU of CUDA, then OpenCL, then Metal, and
// nothing when there is none; cuda and opencl take a GPU of that back end, opencl a CPU
// device (such as PoCL's) when it has nothing else, and throw CliError when it has no
// device at all. OpenCL CPU devices are slower than the engine's own CPU path, so auto
// never takes them.
std::optional<hostsim::GpuDevice> pickGpuDevice(GpuMode mode);

// "NAME (BACK END)", with ", CPU device" for a CPU device.
std::string deviceLabel(hostsim::GpuDevice const& device);

// Offers `device` to the plug-in through GPU device set-up (first host only); true when
// the plug-in took it.
bool offerGpuDevice(hostsim::Host& host, hostsim::GpuDevice const& device);

}  // namespace raydrift::cli
