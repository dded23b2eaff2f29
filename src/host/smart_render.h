// Rendering one frame inside the host: the smart pre-render/render pair and the plain
// render command, both meeting in one CPU path that converts the host's worlds to
// engine images, runs the frame driver and converts the result back.
#pragma once

#include "AE_Effect.h"

namespace raydrift {

// Reads the render parameters at the frame's time, fixes the layer's scale and the
// rectangles, checks out the input and hands the host a pre-render record (freed by
// the host through the function it is given).
PF_Err SmartPreRender(PF_InData* in_data, PF_OutData* out_data, PF_PreRenderExtra* extra);

// Renders the frame prepared by SmartPreRender; serves both the CPU and GPU commands.
PF_Err SmartRender(PF_InData* in_data, PF_OutData* out_data, PF_SmartRenderExtra* extra);

// The plain render command: input layer params[0], output the host's world.
PF_Err RenderFrame(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params,
                   PF_LayerDef* output);

}  // namespace raydrift
