// A simulated host: loads the built plug-in, registers it, learns its parameters from its
// own parameter set-up and renders frames through its exported entry points, the way
// either of the two video hosts would (smart pre-render/render with ARGB worlds, or the
// plain render command with BGRA worlds). Tests of the host boundary and the command-line
// renderer use it; nothing here reaches inside the plug-in.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AE_Effect.h"
#include "AE_EffectUI.h"
#include "PrGPUFilterModule.h"
#include "gpu_device.h"

namespace hostsim {

// The personality the host presents: appl_id, the render path and the worlds it offers.
enum class HostKind {
    AfterEffects,  // smart render, 'argb' / 'ae16' / 'ae32' worlds
    Premiere,      // plain render, 'bgra' / 'BGra' worlds
};

// A pixel world the host owns. Rows are `rowbytes` apart (may exceed width × pixel size).
class World {
public:
    World() = default;
    // A world of `format` ('argb', 'ae16', 'ae32', 'bgra', 'BGra'), zero-filled.
    World(int width, int height, int format);
    // The same with rows `rowbytes` apart (0: packed; negative: the rows run upwards in
    // memory from the first row, as bottom-up host buffers do). Row padding and a guard
    // zone before and after the pixels are filled with a pattern guardsIntact() checks.
    World(int width, int height, int format, int rowbytes);
    World(World const& other);
    World& operator=(World const& other);
    World(World&& other) noexcept;
    World& operator=(World&& other) noexcept;

    int width() const { return def_.width; }
    int height() const { return def_.height; }
    int format() const { return format_; }
    PF_LayerDef& def() { return def_; }
    PF_LayerDef const& def() const { return def_; }
    std::uint8_t* row(int y) {
        return static_cast<std::uint8_t*>(static_cast<void*>(def_.data)) +
               static_cast<std::ptrdiff_t>(y) * def_.rowbytes;
    }
    std::uint8_t const* row(int y) const {
        return static_cast<std::uint8_t const*>(static_cast<void const*>(def_.data)) +
               static_cast<std::ptrdiff_t>(y) * def_.rowbytes;
    }
    // The format the host reports for this world (tests may give it an unknown code).
    void setFormat(int format) { format_ = format; }
    // Bytes per pixel of a format the host knows; 0 otherwise.
    static int pixelBytes(int format);
    // The channel value of full intensity: 255 (8-bit), 32768 (16-bit), 1 (float).
    static float fullScale(int format);
    // False when anything wrote into the row padding or the guard zones.
    bool guardsIntact() const;

    // Channels of pixel (x, y) as floats in the world's own scale and alpha convention,
    // in the order alpha, red, green, blue (whatever the memory order).
    void get(int x, int y, float argb[4]) const;
    void set(int x, int y, float const argb[4]);

private:
    void rebase(World const& from);
    int format_ = 0;
    int guard_ = 0;  // bytes of guard before the first byte of the pixel area
    std::vector<std::uint8_t> bytes_;
    PF_LayerDef def_{};
};

// What a host callback throws during a call (to exercise the plug-in's exception
// boundary): nothing, the int `thrownCode`, std::bad_alloc, or a std::runtime_error.
enum class HostThrow { None, Int, BadAlloc, Other };

// A parameter value as the second host hands it to the GPU filter, by effect index:
// these replace the forms the host would choose from the request's values.
struct PremiereValue {
    int index = 0;
    PrParam value{};
};

// One frame to render.
struct FrameRequest {
    // Parameter values for indices 1 … kParamCount-1, as the host holds them; entry 0
    // (the input layer) is filled in by the host. Start from Host::defaults().
    std::vector<PF_ParamDef> params;
    // Time: current_time / time_scale seconds; time_step is one frame.
    A_long currentTime = 0;
    A_long timeStep = 1;
    A_u_long timeScale = 24;
    // Downsampling of the layer (1/1 is full resolution).
    PF_RationalScale downsampleX{1, 1};
    PF_RationalScale downsampleY{1, 1};

    // Smart render only. The input world lies at (inputOriginX, inputOriginY) of the layer
    // and the layer at the current resolution is the input's size unless refWidth /
    // refHeight (the size before downsampling) say otherwise. The requested rectangle
    // defaults to the whole layer at the current resolution; the output world must match
    // the part of it the plug-in reports.
    A_long inputOriginX = 0;
    A_long inputOriginY = 0;
    A_long refWidth = 0;
    A_long refHeight = 0;
    std::optional<PF_LRect> requestRect;
    // After Effects only: use the plain RENDER command instead of the smart pair.
    bool plainRender = false;
    // Simulated host conditions.
    PF_Err abortCode = PF_Err_NONE;      // what PF_ABORT answers (non-zero: user cancel)
    int abortFromCheck = 1;              // ... from this check of the call on (earlier: 0)
    HostThrow throwFromCheckout = HostThrow::None;  // thrown by checkout_param
    PF_Err thrownCode = PF_Err_NONE;
    // After Effects only: with a GPU device announced and float ('ae32') worlds, the
    // frame is rendered on GPU worlds when pre-render offers it. `gpuOutputNarrower`
    // makes the output GPU world that many pixels narrower than the rectangle reported.
    bool gpu = false;
    A_long gpuOutputNarrower = 0;
    // The second host's GPU filter only: values given in other representations.
    std::vector<PremiereValue> premiereValues;
};

// What the plug-in told the host at registration.
struct Registration {
    std::string name, matchName, category, entryPoint, supportUrl;
    A_long kind = 0, apiMajor = 0, apiMinor = 0, reservedInfo = 0;
    PF_Err result = PF_Err_NONE;
};

// A pre-render/render pair as the host saw it, for tests of the rectangles and flags.
struct SmartTrace {
    PF_Err preRenderErr = PF_Err_NONE;
    PF_Err renderErr = PF_Err_NONE;
    PF_LRect resultRect{0, 0, 0, 0};
    PF_LRect maxResultRect{0, 0, 0, 0};
    PF_RenderOutputFlags flags = 0;
    bool hadPreRenderData = false;
    std::vector<A_long> checkoutIds;  // checkout_layer ids in call order
    int paramCheckouts = 0;
    int paramCheckins = 0;
    bool gpuRendered = false;  // the smart render went to GPU worlds
    // GPU worlds: the render command and the device finishing its work, in milliseconds,
    // without the uploads and the read-back.
    double gpuMilliseconds = 0.0;
};

// Faults of the host's GPU device, and what it reports about it.
typedef std::int32_t PrSuiteErrorCode;

struct GpuFaults {
    // The framework announced and reported, when not the device's own.
    std::optional<PF_GPU_Framework> framework;
    bool incompatible = false;         // the device info says the device cannot run effects
    bool missingWorldData = false;     // the device suite has no GetGPUWorldData
    PF_Err exclusiveAccess = PF_Err_NONE;  // AcquireExclusiveDeviceAccess answers this
    PF_Err worldData = PF_Err_NONE;        // GetGPUWorldData answers this
    long failAllocation = 0;   // the n-th device allocation from now answers 4 (1 = the next) …
    long failAllocations = 1;  // … and so do this many in a row
    // The second host's GPU filter.
    std::string refusedSuite;  // the basic suite refuses this suite by name
    long failOutput = 0;       // the n-th new GPU frame from now answers out of memory …
    long failOutputs = 1;      // … and so do this many in a row
    PrSuiteErrorCode disposeResult = 0;  // what disposing of a GPU frame answers
};

// The host's GPU bookkeeping: what the plug-in holds of it now, and what it did.
struct GpuCounts {
    int deviceAllocations = 0;  // device memory allocated and not freed
    int hostAllocations = 0;    // host memory allocated and not freed
    int exclusiveHeld = 0;      // exclusive accesses acquired and not released
    int allocationsRefused = 0;
    int gpuFrames = 0;  // the second host's GPU frames the plug-in created and still holds
};


// The parameter set-up command run once more on its own (the Host keeps its list).
struct ParamsSetupResult {
    PF_Err err = PF_Err_NONE;
    std::vector<PF_ParamDef> added;  // the definitions in the order add_param saw them
    A_long numParams = 0;
    bool uiRegistered = false;
    A_long uiEvents = 0;
};

// The entry points of a plug-in linked into the program itself.
struct EntryPoints {
    PF_PluginDataEntryFunction2Ptr registration = nullptr;
    PF_EffectMainPtr effectMain = nullptr;
    PrGPUFilterEntry gpuFilter = nullptr;
};

class Host {
public:
    // Loads the plug-in shared library at `pluginPath` (dlopen), resolves its three
    // entry points, registers it, and runs global set-up, parameter set-up and sequence
    // set-up. Throws std::runtime_error with a one-line reason on any failure.
    Host(std::string const& pluginPath, HostKind kind);
    // The same for a plug-in linked into this program.
    Host(EntryPoints const& entry, HostKind kind);
    ~Host();  // sequence and global set-down, then unload
    Host(Host const&) = delete;
    Host& operator=(Host const&) = delete;

    HostKind kind() const;

    // The parameter list as the plug-in declared it at parameter set-up (index 0 is the
    // input layer), with names, kinds, ranges, defaults, flags and menu strings; string
    // pointers stay valid for the Host's lifetime.
    std::vector<PF_ParamDef> const& params() const;
    // A copy of params() holding the default values, ready for a FrameRequest.
    std::vector<PF_ParamDef> defaults() const;

    // The text the about command returns.
    std::string aboutMessage();

    // Renders `input` into `output` (same size and format) through the kind's render
    // path. Safe to call from several threads at once (the host's threaded rendering):
    // every call has its own in/out data and callbacks. Returns the plug-in's error code.
    PF_Err render(World const& input, World& output, FrameRequest const& request);

    // The out-flags the plug-in reported at global set-up.
    PF_OutFlags outFlags() const;
    PF_OutFlags2 outFlags2() const;

    // --- For tests of the host boundary ---------------------------------------------
    Registration const& registration() const;
    A_u_long version() const;
    // Pixel formats the plug-in registered at global set-up (Premiere), in order.
    std::vector<int> const& pixelFormats() const;
    // Whether this host would hand the plug-in a world of `format`: After Effects' three
    // ARGB depths, or in Premiere the formats the plug-in registered.
    bool acceptsFormat(int format) const;
    EntryPoints const& entryPoints() const;

    // The same as render(), also reporting what the smart pair did.
    PF_Err render(World const& input, World& output, FrameRequest const& request, SmartTrace* trace);

    // Sends one command with in/out data as the host fills them for `request` (parameters
    // at its time; null: defaults at time 0) and `extra` as given. `out`, when given,
    // receives the out data.
    PF_Err command(PF_Cmd cmd, void* extra = nullptr, FrameRequest const* request = nullptr,
                   PF_OutData* out = nullptr);

    // Runs parameter set-up again; add_param fails with `failCode` at position `failAt`
    // (1-based, as the parameter's index; 0 never fails).
    ParamsSetupResult setupParameters(int failAt = 0, PF_Err failCode = PF_Err_OUT_OF_MEMORY);

    // Runs global set-up again into `out` (the result's global handle is disposed of).
    PF_Err globalSetup(PF_OutData& out);

    // Makes the basic suite refuse a suite by name (all versions), as a host without it.
    void hideSuite(std::string const& name);
    void clearHiddenSuites();

    // Host memory handles currently allocated through the handle suite.
    int liveHandles() const;
    // Suites the plug-in acquired through the basic suite and has not released.
    int heldSuites() const;

    // --- Custom controls -----------------------------------------------------------
    // Sends one custom-UI event (PF_Cmd_EVENT with `extra`) with in data for `request`
    // and `input` as the layer at index 0 (none: no pixels). The parameters go to the
    // plug-in without their change flags; those it flags as changed are copied back into
    // request.params (which must hold the whole list) and, when given, listed in
    // `changed`.
    PF_Err event(PF_EventExtra& extra, FrameRequest& request, World const* input,
                 std::vector<PF_ParamIndex>* changed = nullptr, PF_OutData* out = nullptr);

    // --- GPU device (After Effects) ---------------------------------------------------
    // The device both hosts' GPU paths offer from now on (a device already announced is
    // retired first); by default, and with nullopt, the system's default Metal device.
    void useGpuDevice(std::optional<GpuDevice> const& device);
    // Announces the device (the Metal default: none on Linux unless a test installs the
    // software device) with GPU device set-up. Returns the plug-in's answer; whether
    // it took the device is gpuAccepted(). Without a device nothing is sent.
    PF_Err announceGpu();
    bool gpuAccepted() const;
    // Retires the device with GPU device set-down (also done by the destructor).
    PF_Err retireGpu();
    void setGpuFaults(GpuFaults const& faults);
    GpuCounts gpuCounts() const;

    // --- GPU filter (Premiere Pro's GPU pipeline; either kind answers its application
    // code through the app-info suite) ---------------------------------------------------
    // The filter entry's start-up call for filter `index`, then one instance on the chosen
    // device (without one, the device suite reports no device).
    PrSuiteErrorCode gpuFilterStartup(int index = 0);
    // The instance reads the defaults, or `values` where given.
    PrSuiteErrorCode createGpuInstance(std::vector<PremiereValue> const& values = {});
    bool gpuInstance() const;  // the filter took the instance
    // Renders a straight float ('BGra') frame through the instance on GPU frames of
    // `format`: '@CDA' (floats), '@CDa' (halves: the input is rounded to halves on the way
    // in), or any other code, reported for frames filled as '@CDA'.
    PrSuiteErrorCode renderGpuFrame(World const& input, World& output, FrameRequest const& request, int format);
    PrSuiteErrorCode disposeGpuInstance();
    PrSuiteErrorCode gpuFilterShutdown();

    // The bytes of the plug-in's global data handle (empty without one).
    std::vector<std::uint8_t> globalDataBytes() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// --- Custom controls: what the plug-in draws and how the user works them ---------------

// One element of a path the plug-in built with the path suite. MoveTo/LineTo: x, y;
// BezierTo: three points; Rect: left, top, width, height; Arc: centre x, y, radius,
// start and sweep in degrees.
struct PathElement {
    enum class Kind { MoveTo, LineTo, BezierTo, Rect, Arc, Close };
    Kind kind = Kind::MoveTo;
    float v[6] = {0, 0, 0, 0, 0, 0};
};

// One drawing call, in the control's coordinates.
struct DrawCall {
    enum class Op { PaintRect, FillPath, StrokePath, DrawString, DrawImage, Clip, PushState, PopState, Transform, Flush };
    Op op = Op::PaintRect;
    float colour[4] = {0, 0, 0, 0};  // red, green, blue, alpha of the paint, brush or pen
    float penWidth = 0.0f;           // StrokePath
    A_long fillType = 0;             // FillPath: the fill rule as the plug-in gave it
    float rect[4] = {0, 0, 0, 0};    // PaintRect, Clip, DrawImage: left, top, width, height
    std::vector<PathElement> path;   // FillPath, StrokePath
    std::u16string text;             // DrawString
    float origin[2] = {0, 0};        // DrawString
    float fontSize = 0.0f, alpha = 1.0f;
    A_long alignment = 0;
};

// A custom control in the effect panel, as the host shows it: one context (window type
// effect, area control) for parameter `paramIndex`, occupying `frame`. Events carry the
// panel's parameter values and input layer; values the plug-in changes come back into
// request(). Drawing goes to an image at `scale` device pixels per control pixel and
// is recorded call by call. In After Effects the input reaches the plug-in through the
// asynchronous render manager: the first `renderDelay` requests for a frame come back
// empty, as while the host is still rendering, and the rest get the input downsampled
// by the requested factors (box average). The host must outlive its panels.
class Panel {
public:
    Panel(Host& host, PF_ParamIndex paramIndex, PF_Rect frame, double scale = 1.0);
    ~Panel();  // closes the context if the plug-in still holds state in it
    Panel(Panel const&) = delete;
    Panel& operator=(Panel const&) = delete;

    FrameRequest& request();  // starts at the host's defaults
    void setInput(World input);  // a new input also restarts the render delay
    void setRenderDelay(int requests);

    PF_Err newContext();
    PF_Err draw();  // one draw event on a fresh, transparent image
    // Draws; if that left an asynchronous render under way, lets it finish and draws
    // again, as the host does when the frame arrives.
    PF_Err show();
    PF_Err click(int x, int y);
    // Continues the click's drag with the continuation the plug-in left.
    PF_Err drag(int x, int y, bool lastTime);
    PF_Err adjustCursor(int x, int y);
    PF_Err closeContext();
    PF_Err send(PF_EventType type);  // any other event, with nothing but the window

    // What the last event left.
    PF_EventOutFlags outFlags() const;
    PF_Mouse const& mouse() const;
    PF_CursorType cursor() const;
    std::vector<PF_ParamIndex> const& changed() const;
    std::vector<PF_Rect> const& invalidated() const;  // every invalidation so far
    // The last draw event's calls, and drawing objects it left unreleased.
    std::vector<DrawCall> const& drawing() const;
    int unreleasedObjects() const;
    // Whether the plug-in keeps state in the context (its spare pointer is set).
    bool contextHoldsState() const;

    // The asynchronous renders asked for, the last request's purpose and downsample
    // factors, whether it came back empty, and frames not yet checked in.
    int renderRequests() const;
    A_u_long lastPurpose() const;
    int lastDownsampleX() const;
    int lastDownsampleY() const;
    bool renderPending() const;
    int framesCheckedOut() const;
    // Effect handles and render options the plug-in holds.
    int openAegpObjects() const;

    // The last drawing: size in device pixels, one pixel as straight red, green, blue,
    // alpha in [0, 1], and the whole of it as a PNG file (false when it cannot be written).
    int imageWidth() const;
    int imageHeight() const;
    void pixel(int x, int y, float rgba[4]) const;
    bool writePng(std::string const& path) const;

    struct Impl;  // the host's side of the context (ui_events.cpp)

private:
    std::unique_ptr<Impl> impl_;
};

// The pixel formats' codes by their four characters, e.g. formatName('argb'-code) = "argb".
std::string formatName(int format);

// The plug-in built next to this program: RAYDRIFT_PLUGIN if set, otherwise the path
// compiled in at build time.
std::string defaultPluginPath();

// UTF-16 text (the hosts' strings) as UTF-8; unpaired surrogates pass through encoded.
std::string utf8(std::u16string const& text);

}  // namespace hostsim
