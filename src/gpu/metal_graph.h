// The per-frame pass graph of the Metal renderers and the constant block it runs on;
// shared by the CPU-memory frame renderer and the host-buffer renderer.
#pragma once

#include <cstdint>
#include <vector>

#include "gpu/kernels/kernel_source.h"
#include "gpu/metal_context.h"
#include "image/streak.h"
#include "settings/render_settings.h"

namespace raydrift::metal {

// The kernels' constants for a w × h frame with time-animated settings; throws the
// safety-limit messages for settings the GPU must not attempt.
// The normalisations and modulation amount as the doubles the constants carry split.
struct ExactSums {
    double inverse = 0.0;     // vertical profile
    double modulation = 0.0;  // diffraction amount
    double hInverse = 0.0;    // horizontal box
};

Constants parameters(int width, int height, RenderSettings const& settings, ExactSums* exact = nullptr);

// The streak passes' part of the constants, from the CPU streak generator's geometry `g`
// of a c.kw × c.kh selection with `margin`: rotation, canvas, radii, profile and box
// normalisations, diffraction amount, edge mode, Details. `settings` are the streak
// stage's (animated) settings.
void setStreakConstants(Constants& c, image::StreakGeometry const& g, RenderSettings const& settings, int margin,
                        ExactSums* exact = nullptr);

// The diffraction phase advance per work row.
double phaseStep(Constants const& c);

// The luminance mask's cuts and inversion (the only constants the matte view reads).
void setMaskConstants(Constants& c, RenderSettings const& settings);

// GPU bytes one frame needs (every buffer the graph allocates, the input and the result,
// plus 4096); `pixels` is the frame's (or canvas's) pixel count.
std::uint64_t frameBytes(Constants const& c, std::uint64_t pixels);

// The vertical profile's diffraction phases per work row: cos and sin, each as a (hi, lo)
// float pair; at least one row.
std::vector<float> phaseTable(Constants const& c);
// The Details factor of every work column (all 1 without Details); at least one column.
std::vector<float> detailsFactors(Constants const& c, RenderSettings const& settings);

// One frame's buffers and command buffer, and the encoding of its passes in order.
class Graph {
public:
    // `original` is the unprocessed frame (iw × ih float4); `arena` null allocates from
    // the device. Throws on failure.
    Graph(Context& context, MTL::Buffer* original, RenderSettings const& settings,
          Constants const& constants, HostArena* arena);

    // Encodes one dispatch of `pass` over width × height threads.
    void pass(Pass pass, MTL::Buffer* source, MTL::Buffer* destination, int width, int height,
              bool linear);
    // Encodes the whole frame; returns the buffer that will hold it. Nothing is committed.
    MTL::Buffer* encode();

    MTL::CommandBuffer* commandBuffer() const { return commandBuffer_.get(); }
    MTL::Buffer* flags() const { return flags_.get(); }
    Constants const& constants() const { return constants_; }

private:
    MTL::Buffer* image(std::size_t elements, bool shared);

    Context& context_;
    Constants constants_;
    HostArena* arena_;
    Owned<MTL::Buffer> original_;
    Owned<MTL::Buffer> params_;
    Owned<MTL::Buffer> phases_;
    Owned<MTL::Buffer> factors_;
    Owned<MTL::Buffer> flags_;
    Owned<MTL::CommandBuffer> commandBuffer_;
    std::vector<Owned<MTL::Buffer>> images_;
};

}  // namespace raydrift::metal
