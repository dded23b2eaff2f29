#include "ui/about.h"

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "AEFX_SuiteHelper.h"
#include "AE_AdvEffectSuites.h"
#include "AE_EffectSuites.h"
#include "AE_Macros.h"
#include "DrawbotSuite.h"
#include "host/plugin_info.h"
#include "settings/param_indices.h"
#include "ui/draw_event.h"
#include "ui/gpu_names.h"
#include "ui/logo.h"

#if !defined(_WIN32)
extern char** environ;
#endif

namespace raydrift::ui {

namespace {

constexpr float kPanelWidth = 360.0f;
constexpr float kButtonWidth = 128.0f, kButtonHeight = 24.0f, kButtonRadius = 12.0f;
constexpr float kFontSize = 12.0f;
constexpr float kNameLineStep = 38.0f, kContinuationStep = 18.0f;
constexpr DRAWBOT_ColorRGBA kFallbackBackground{0.1255f, 0.1255f, 0.1255f, 1.0f};
constexpr DRAWBOT_ColorRGBA kText{0.8f, 0.8f, 0.8f, 1.0f};
constexpr DRAWBOT_ColorRGBA kButton{0.34f, 0.34f, 0.34f, 1.0f};

// Where everything goes in a frame: W is the frame's width up to 360, and the button's
// top-left corner follows it.
struct Layout {
    float left, top, right, bottom, width, buttonX, buttonY;
};

Layout layoutOf(PF_Rect const& f) {
    Layout l{};
    l.left = static_cast<float>(f.left), l.top = static_cast<float>(f.top);
    l.right = static_cast<float>(f.right), l.bottom = static_cast<float>(f.bottom);
    l.width = std::min(l.right - l.left, kPanelWidth);
    l.buttonX = l.left + l.width - 136.0f;
    l.buttonY = l.top + 144.0f;
    return l;
}

std::atomic<UrlLauncher> gLauncher{openWithDesktop};
std::atomic<std::vector<std::u16string> const*> gPanelNames{nullptr};

#if !defined(_WIN32)
// The program `name` in the search path, or empty.
std::string findProgram(const char* name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}
#endif

// The Drawbot objects of one draw event, released in reverse order of making.
class DrawObjects {
public:
    explicit DrawObjects(DRAWBOT_SupplierSuite1 const* suite) : suite_(suite) {}
    ~DrawObjects() { releaseAll(); }
    DrawObjects(DrawObjects const&) = delete;
    DrawObjects& operator=(DrawObjects const&) = delete;

    template <typename Ref>
    void keep(Ref ref) {
        if (ref) objects_.push_back(reinterpret_cast<DRAWBOT_ObjectRef>(ref));
    }
    PF_Err releaseAll() {
        PF_Err err = PF_Err_NONE;
        while (!objects_.empty()) {
            const PF_Err e = suite_->ReleaseObject(objects_.back());
            objects_.pop_back();
            if (!err) err = e;
        }
        return err;
    }

private:
    DRAWBOT_SupplierSuite1 const* suite_;
    std::vector<DRAWBOT_ObjectRef> objects_;
};

// The host's panel background, or the fixed grey when the application suite or its
// answer is missing.
DRAWBOT_ColorRGBA backgroundColour(PF_InData* in_data) {
    SPBasicSuite const* basic = in_data->pica_basicP;
    void const* suite = nullptr;
    if (!basic || !basic->AcquireSuite || basic->AcquireSuite(kPFAppSuite, kPFAppSuiteVersion1, &suite) != 0 ||
        !suite)
        return kFallbackBackground;
    auto const* app = static_cast<PF_AppSuite1 const*>(suite);
    PF_App_Color c{};
    const bool ok = app->PF_AppGetBgColor && app->PF_AppGetBgColor(&c) == PF_Err_NONE;
    if (basic->ReleaseSuite) basic->ReleaseSuite(kPFAppSuite, kPFAppSuiteVersion1);
    if (!ok) return kFallbackBackground;
    return {static_cast<float>(c.red) / 65535.0f, static_cast<float>(c.green) / 65535.0f,
            static_cast<float>(c.blue) / 65535.0f, 1.0f};
}

std::vector<DRAWBOT_UTF16Char> terminated(std::u16string_view text) {
    std::vector<DRAWBOT_UTF16Char> out(text.begin(), text.end());
    out.push_back(0);
    return out;
}

PF_Err paint(DRAWBOT_Suites const& s, DRAWBOT_SupplierRef supplier, DRAWBOT_SurfaceRef surface,
             DrawObjects& objects, DRAWBOT_ColorRGBA const& background, Layout const& l) {
    PF_Err err = PF_Err_NONE;
    DRAWBOT_BrushRef backgroundBrush = nullptr, textBrush = nullptr, buttonBrush = nullptr;
    DRAWBOT_PathRef backgroundPath = nullptr, buttonPath = nullptr;
    DRAWBOT_FontRef font = nullptr;
    DRAWBOT_ImageRef logo = nullptr;
    // Keeps what a supplier call made (read after the call) for release at the end.
    auto made = [&objects](PF_Err e, auto* ref) {
        objects.keep(*ref);
        return e;
    };

    ERR(made(s.supplier_suiteP->NewBrush(supplier, &background, &backgroundBrush), &backgroundBrush));
    ERR(made(s.supplier_suiteP->NewPath(supplier, &backgroundPath), &backgroundPath));
    const DRAWBOT_RectF32 frame{l.left, l.top, l.right - l.left, l.bottom - l.top};
    ERR(s.path_suiteP->AddRect(backgroundPath, &frame));
    ERR(s.surface_suiteP->FillPath(surface, backgroundBrush, backgroundPath, kDRAWBOT_FillType_Winding));

    ERR(made(s.supplier_suiteP->NewDefaultFont(supplier, kFontSize, &font), &font));
    ERR(made(s.supplier_suiteP->NewBrush(supplier, &kText, &textBrush), &textBrush));
    ERR(made(s.supplier_suiteP->NewBrush(supplier, &kButton, &buttonBrush), &buttonBrush));
    ERR(made(s.supplier_suiteP->NewPath(supplier, &buttonPath), &buttonPath));

    // A capsule: straight top and bottom edges, half circles at the ends.
    const float ax = l.buttonX, ay = l.buttonY, r = kButtonRadius;
    const DRAWBOT_PointF32 rightCentre{ax + kButtonWidth - r, ay + r}, leftCentre{ax + r, ay + r};
    ERR(s.path_suiteP->MoveTo(buttonPath, ax + r, ay));
    ERR(s.path_suiteP->LineTo(buttonPath, ax + kButtonWidth - r, ay));
    ERR(s.path_suiteP->AddArc(buttonPath, &rightCentre, r, -90.0f, 180.0f));
    ERR(s.path_suiteP->LineTo(buttonPath, ax + r, ay + kButtonHeight));
    ERR(s.path_suiteP->AddArc(buttonPath, &leftCentre, r, 90.0f, 180.0f));
    ERR(s.path_suiteP->Close(buttonPath));
    ERR(s.surface_suiteP->FillPath(surface, buttonBrush, buttonPath, kDRAWBOT_FillType_Winding));

    ERR(made(s.supplier_suiteP->NewImageFromBuffer(supplier, kLogoWidth, kLogoHeight, kLogoRowBytes,
                                                   kDRAWBOT_PixelLayout_32BGRA_Premul, kLogoPixels.data(), &logo),
             &logo));
    const DRAWBOT_PointF32 logoAt{l.left + (l.width - static_cast<float>(kLogoWidth)) / 2.0f, l.top + 20.0f};
    ERR(s.surface_suiteP->DrawImage(surface, logo, &logoAt, 1.0f));

    const float truncation = l.right - l.left - 8.0f;
    auto text = [&](std::u16string_view line, float x, float y) -> PF_Err {
        const std::vector<DRAWBOT_UTF16Char> chars = terminated(line);
        const DRAWBOT_PointF32 origin{x, y};
        return s.surface_suiteP->DrawString(surface, textBrush, font, chars.data(), &origin,
                                            kDRAWBOT_TextAlignment_Left, kDRAWBOT_TextTruncation_None,
                                            truncation);
    };
    std::u16string company;
    for (const char* c = kCompanyName; *c; ++c) company.push_back(static_cast<char16_t>(*c));
    ERR(text(company, l.left + 8.0f, l.top + 112.0f));
    ERR(text(versionLabel(), l.left + 8.0f, l.top + 160.0f));
    ERR(text(u"Support", l.left + l.width - 100.0f, l.top + 160.0f));
    ERR(text(u"GPU Hardware", l.left + 8.0f, l.top + 195.0f));

    // Each name on its line, cut where the panel would end; what does not fit goes on
    // one line below, unwrapped.
    const auto perLine = static_cast<std::size_t>(std::max((l.width - 16.0f) / 7.0f, 16.0f));
    std::vector<std::u16string> const* shown = gPanelNames.load();
    std::vector<std::u16string> const& names = shown ? *shown : gpuNames();
    for (std::size_t k = 0; k < names.size() && !err; ++k) {
        const std::u16string_view name = names[k];
        const float y = l.top + 218.0f + kNameLineStep * static_cast<float>(k);
        // A character outside the basic plane stays whole on the first line's side.
        std::size_t cut = std::min(name.size(), perLine);
        if (cut < name.size() && name[cut - 1] >= 0xD800 && name[cut - 1] < 0xDC00) --cut;
        err = text(name.substr(0, cut), l.left + 8.0f, y);
        if (cut < name.size()) ERR(text(name.substr(cut), l.left + 8.0f, y + kContinuationStep));
    }
    return err;
}

PF_Err draw(PF_InData* in_data, PF_OutData* out_data, PF_EventExtra* extra) {
    return paintContext(in_data, out_data, extra, [&](DrawTarget const& t) {
        DrawObjects objects(t.suites.supplier_suiteP);
        PF_Err err = paint(t.suites, t.supplier, t.surface, objects, backgroundColour(in_data),
                           layoutOf(extra->effect_win.current_frame));
        const PF_Err releaseErr = objects.releaseAll();
        return err ? err : releaseErr;
    });
}

PF_Err click(PF_EventExtra* extra) {
    const Layout l = layoutOf(extra->effect_win.current_frame);
    const float dx = static_cast<float>(extra->u.do_click.screen_point.h) - l.buttonX;
    const float dy = static_cast<float>(extra->u.do_click.screen_point.v) - l.buttonY;
    if (dx < 0.0f || dx > kButtonWidth || dy < 0.0f || dy > kButtonHeight) return PF_Err_NONE;
    extra->evt_out_flags |= PF_EO_HANDLED_EVENT;
    return openSupport();
}

}  // namespace

PF_Err drawInfo(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef**, PF_EventExtra* extra) {
    if (!extra || extra->effect_win.index != kParamAboutPanel || extra->effect_win.area != PF_EA_CONTROL)
        return PF_Err_NONE;
    switch (extra->e_type) {
    case PF_Event_DO_CLICK:
        return click(extra);
    case PF_Event_DRAW:
        // Without a context there is nothing to draw on, as for the other controls.
        if (!extra->contextH || !*extra->contextH) return PF_Err_NONE;
        if (!in_data) return PF_Err_BAD_CALLBACK_PARAM;
        return draw(in_data, out_data, extra);
    default:
        return PF_Err_NONE;
    }
}

std::u16string versionLabel() {
    std::u16string label = u"Raydrift v";
    for (char c : releaseVersion()) label.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return label;
}

void setPanelGpuNames(std::vector<std::u16string> const* names) { gPanelNames.store(names); }

PF_Err openSupport() {
    return gLauncher.load()(kSupportUrl) ? PF_Err_NONE : PF_Err_INTERNAL_STRUCT_DAMAGED;
}

UrlLauncher setUrlLauncher(UrlLauncher launcher) { return gLauncher.exchange(launcher ? launcher : openWithDesktop); }

#if defined(_WIN32)
bool openWithDesktop(const char* url) {
    if (!url || !*url) return false;
    // The address is ASCII, so widening byte by byte is exact.
    std::wstring wide;
    for (const char* c = url; *c != 0; ++c) wide.push_back(static_cast<wchar_t>(*c));
    const HINSTANCE result = ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}
#else
bool openWithDesktop(const char* url) {
    if (!url || !*url) return false;
    const std::string program = findProgram("xdg-open");
    if (program.empty()) return false;
    char* const argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(url), nullptr};
    // The handler runs as a grandchild, adopted by the system once its parent exits, so
    // nothing is left to reap. A close-on-exec pipe tells whether it really started:
    // it closes without a word when exec succeeds and carries errno when it fails.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return false;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (child == 0) {
        // Only async-signal-safe calls here: the host may be running other threads.
        ::close(report[0]);
        const pid_t handler = ::fork();
        if (handler == 0) {
            ::setsid();
            ::execve(program.c_str(), argv, environ);
            const int error = errno;
            [[maybe_unused]] const ssize_t written = ::write(report[1], &error, sizeof error);
            ::_exit(127);
        }
        ::_exit(handler < 0 ? 1 : 0);
    }
    ::close(report[1]);
    int status = 0;
    pid_t waited;
    do waited = ::waitpid(child, &status, 0);
    while (waited < 0 && errno == EINTR);
    // ECHILD: the host ignores its children's exits, so the system reaped it already.
    const bool reaped = waited == child ? WIFEXITED(status) && WEXITSTATUS(status) == 0 : errno == ECHILD;
    int execError = 0;
    ssize_t got;
    do got = ::read(report[0], &execError, sizeof execError);
    while (got < 0 && errno == EINTR);
    ::close(report[0]);
    return reaped && got == 0;
}
#endif

}  // namespace raydrift::ui
