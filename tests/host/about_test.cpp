// The about panel driven as a host drives it: what it draws where, the Support button,
// the GPU hardware list, and the launcher that opens the support page.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "DrawbotSuite.h"
#include "host/entry.h"
#include "host_test_support.h"
#include "settings/parameters.h"
#include "ui/about.h"
#include "ui/gpu_names.h"
#include "ui/logo.h"

namespace hosttest {
namespace {

using hostsim::DrawCall;
using hostsim::Host;
using hostsim::HostKind;
using hostsim::Panel;
using hostsim::PathElement;
namespace fs = std::filesystem;

constexpr float kHostBackground[4] = {0.2f, 0.2f, 0.2f, 1};  // hostsim's 0x3333 grey
constexpr float kFallbackBackground[4] = {0.1255f, 0.1255f, 0.1255f, 1};
constexpr float kText[4] = {0.8f, 0.8f, 0.8f, 1};
constexpr float kButton[4] = {0.34f, 0.34f, 0.34f, 1};
const std::u16string kNoGpu = u"No GPU hardware reported by the system.";

Host& linkedHost() {
    static Host host(hostsim::EntryPoints{PluginDataEntryFunction2, EffectMain, nullptr}, HostKind::AfterEffects);
    return host;
}

// Counts the pages the panel asks to open and answers as the test says.
struct Launches {
    static inline int count = 0;
    static inline bool answer = true;
    static inline std::string url;
    static bool launch(const char* u) {
        ++count;
        url = u;
        return answer;
    }
};

class AboutPanel : public ::testing::Test {
protected:
    void SetUp() override {
        Launches::count = 0;
        Launches::answer = true;
        raydrift::ui::setUrlLauncher(Launches::launch);
    }
    void TearDown() override {
        raydrift::ui::setUrlLauncher(nullptr);
        raydrift::ui::setPanelGpuNames(nullptr);
        linkedHost().clearHiddenSuites();
    }
};

void expectColour(DrawCall const& c, float const colour[4]) {
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(c.colour[i], colour[i], 1e-6f) << "channel " << i;
}

void expectElement(PathElement const& e, PathElement::Kind kind, std::initializer_list<float> v) {
    EXPECT_EQ(e.kind, kind);
    int i = 0;
    for (float x : v) EXPECT_FLOAT_EQ(e.v[i++], x) << "value " << i - 1;
}

void expectText(DrawCall const& c, std::u16string const& text, float x, float y, float truncation) {
    EXPECT_EQ(c.op, DrawCall::Op::DrawString);
    EXPECT_EQ(c.text, text);
    EXPECT_FLOAT_EQ(c.origin[0], x);
    EXPECT_FLOAT_EQ(c.origin[1], y);
    EXPECT_FLOAT_EQ(c.rect[2], truncation);
    EXPECT_FLOAT_EQ(c.fontSize, 12.0f);
    EXPECT_EQ(c.alignment, kDRAWBOT_TextAlignment_Left);
    expectColour(c, kText);
}

std::u16string widened(std::string const& s) { return std::u16string(s.begin(), s.end()); }

// Every element where the panel's width W = min(frame width, 360) puts it: a frame
// narrower than 360 moves the logo, the button and its caption left with it, a wider
// one keeps them as at 360; frames need not start at the origin.
TEST_F(AboutPanel, GeometryAndColoursFollowTheFrame) {
    struct Case {
        PF_Rect frame;
        float w;
    };
    for (Case c : {Case{{0, 0, 360, 278}, 360}, Case{{0, 0, 300, 278}, 300}, Case{{20, 30, 520, 308}, 360},
                   Case{{5, 7, 335, 285}, 330}}) {
        SCOPED_TRACE(testing::Message() << "frame width " << c.frame.right - c.frame.left);
        Host& host = linkedHost();
        const int suites = host.heldSuites();
        Panel panel(host, raydrift::kParamAboutPanel, c.frame, 2.0);
        ASSERT_EQ(panel.show(), PF_Err_NONE);
        EXPECT_EQ(panel.outFlags(), PF_EO_HANDLED_EVENT);
        EXPECT_EQ(panel.unreleasedObjects(), 0);
        EXPECT_EQ(host.heldSuites(), suites);

        const float l = static_cast<float>(c.frame.left), t = static_cast<float>(c.frame.top);
        const float fw = static_cast<float>(c.frame.right - c.frame.left);
        const float fh = static_cast<float>(c.frame.bottom - c.frame.top);
        const float ax = l + c.w - 136, ay = t + 144;
        std::vector<DrawCall> const& d = panel.drawing();
        ASSERT_EQ(d.size(), 8u);
        EXPECT_EQ(d[0].op, DrawCall::Op::FillPath);
        expectColour(d[0], kHostBackground);
        EXPECT_EQ(d[0].fillType, kDRAWBOT_FillType_Winding);
        ASSERT_EQ(d[0].path.size(), 1u);
        expectElement(d[0].path[0], PathElement::Kind::Rect, {l, t, fw, fh});

        EXPECT_EQ(d[1].op, DrawCall::Op::FillPath);
        expectColour(d[1], kButton);
        EXPECT_EQ(d[1].fillType, kDRAWBOT_FillType_Winding);
        ASSERT_EQ(d[1].path.size(), 6u);
        expectElement(d[1].path[0], PathElement::Kind::MoveTo, {ax + 12, ay});
        expectElement(d[1].path[1], PathElement::Kind::LineTo, {ax + 116, ay});
        expectElement(d[1].path[2], PathElement::Kind::Arc, {ax + 116, ay + 12, 12, -90, 180});
        expectElement(d[1].path[3], PathElement::Kind::LineTo, {ax + 12, ay + 24});
        expectElement(d[1].path[4], PathElement::Kind::Arc, {ax + 12, ay + 12, 12, 90, 180});
        EXPECT_EQ(d[1].path[5].kind, PathElement::Kind::Close);

        EXPECT_EQ(d[2].op, DrawCall::Op::DrawImage);
        const float logoX = l + (c.w - 150) / 2, logoY = t + 20;
        EXPECT_FLOAT_EQ(d[2].rect[0], logoX);
        EXPECT_FLOAT_EQ(d[2].rect[1], logoY);
        EXPECT_FLOAT_EQ(d[2].rect[2], 150);
        EXPECT_FLOAT_EQ(d[2].rect[3], 56);
        EXPECT_FLOAT_EQ(d[2].alpha, 1);

        const float cut = fw - 8;
        expectText(d[3], u"Tessaly", l + 8, t + 112, cut);
        expectText(d[4], u"Raydrift v" + widened(raydrift::releaseVersion()), l + 8, t + 160, cut);
        expectText(d[5], u"Support", l + c.w - 100, t + 160, cut);
        expectText(d[6], u"GPU Hardware", l + 8, t + 195, cut);
        expectText(d[7], kNoGpu, l + 8, t + 218, cut);
    }
}

// Each name gets n = max((W - 16) / 7, 16) characters on its line (49 at 360 wide) and
// the rest, unwrapped, 18 pixels lower; the next name is still 38 below the first. A
// character outside the basic plane is never split between the two lines.
TEST_F(AboutPanel, LongNamesContinueOnTheNextLine) {
    const std::u16string sixty = u"NVIDIA GeForce RTX 4090 Laptop GPU with Max-Q Design (Rev B)";
    const std::u16string smile = std::u16string(48, u'x') + u"\U0001F600abc";
    const std::vector<std::u16string> names = {sixty, u"Short", sixty.substr(0, 49), u"", smile};
    raydrift::ui::setPanelGpuNames(&names);
    using Lines = std::vector<std::pair<std::u16string, float>>;
    struct Case {
        int width;
        Lines lines;
    };
    auto plain = [&names](std::size_t n) {
        Lines lines;
        for (std::size_t k = 0; k < names.size(); ++k) {
            const float y = 218 + 38 * static_cast<float>(k);
            lines.emplace_back(names[k].substr(0, n), y);
            if (names[k].size() > n) lines.emplace_back(names[k].substr(n), y + 18);
        }
        return lines;
    };
    const Lines at360 = {{sixty.substr(0, 49), 218}, {u"ign (Rev B)", 236}, {u"Short", 256},
                         {sixty.substr(0, 49), 294}, {u"", 332},           {std::u16string(48, u'x'), 370},
                         {u"\U0001F600abc", 388}};
    for (Case const& c : {Case{360, at360}, Case{500, at360}, Case{200, plain(26)}, Case{100, plain(16)},
                          Case{20, plain(16)}}) {
        SCOPED_TRACE(c.width);
        Panel panel(linkedHost(), raydrift::kParamAboutPanel, PF_Rect{0, 0, c.width, 420});
        ASSERT_EQ(panel.show(), PF_Err_NONE);
        std::vector<DrawCall> const& d = panel.drawing();
        ASSERT_EQ(d.size(), 7 + c.lines.size());
        for (std::size_t i = 0; i < c.lines.size(); ++i)
            expectText(d[7 + i], c.lines[i].first, 8, c.lines[i].second, static_cast<float>(c.width) - 8);
    }
}

// The button answers on its edges and nowhere outside them: a click there is handled
// and opens the page (512 when no handler starts); one pixel out is not handled. Events
// of the hidden GPU Hardware parameter and of other areas draw and open nothing.
TEST_F(AboutPanel, SupportButtonAndForeignEvents) {
    struct Case {
        PF_Rect frame;
        int x, y;
        bool opens;
    };
    // 360 wide: the button spans 224..352 by 144..168; 300 wide: 164..292.
    for (Case c : {Case{{0, 0, 360, 278}, 224, 144, true}, Case{{0, 0, 360, 278}, 352, 168, true},
                   Case{{0, 0, 360, 278}, 288, 156, true}, Case{{0, 0, 360, 278}, 223, 156, false},
                   Case{{0, 0, 360, 278}, 353, 156, false}, Case{{0, 0, 360, 278}, 288, 143, false},
                   Case{{0, 0, 360, 278}, 288, 169, false}, Case{{0, 0, 300, 278}, 164, 168, true},
                   Case{{0, 0, 300, 278}, 293, 150, false}, Case{{0, 0, 300, 278}, 224, 144, true},
                   Case{{10, 20, 370, 298}, 234, 164, true}, Case{{10, 20, 370, 298}, 224, 144, false}}) {
        SCOPED_TRACE(testing::Message() << "click " << c.x << "," << c.y << " in width " << c.frame.right);
        for (bool handlerStarts : {true, false}) {
            Launches::count = 0;
            Launches::answer = handlerStarts;
            Panel panel(linkedHost(), raydrift::kParamAboutPanel, c.frame);
            const PF_Err err = panel.click(c.x, c.y);
            EXPECT_EQ(Launches::count, c.opens ? 1 : 0);
            EXPECT_EQ(panel.outFlags(), c.opens ? PF_EO_HANDLED_EVENT : PF_EO_NONE);
            EXPECT_EQ(err, c.opens && !handlerStarts ? PF_Err_INTERNAL_STRUCT_DAMAGED : PF_Err_NONE);
            if (c.opens) {
                EXPECT_EQ(Launches::url, "https://www.tessaly.com/raydrift/support");
            }
        }
    }

    Host& host = linkedHost();
    const int suites = host.heldSuites();
    Launches::count = 0;
    Panel hidden(host, raydrift::kParamGpuHardware, PF_Rect{0, 0, 360, 278});
    ASSERT_EQ(hidden.show(), PF_Err_NONE);
    EXPECT_TRUE(hidden.drawing().empty());
    EXPECT_EQ(hidden.outFlags(), PF_EO_NONE);
    ASSERT_EQ(hidden.click(288, 156), PF_Err_NONE);
    EXPECT_EQ(hidden.outFlags(), PF_EO_NONE);
    EXPECT_EQ(Launches::count, 0);
    EXPECT_EQ(host.heldSuites(), suites);

    // The same event outside the control area is not the panel's either.
    PF_EventExtra extra;
    std::memset(&extra, 0, sizeof extra);
    extra.e_type = PF_Event_DO_CLICK;
    extra.effect_win.index = raydrift::kParamAboutPanel;
    extra.effect_win.area = PF_EA_CONTROL + 1;
    extra.effect_win.current_frame = PF_Rect{0, 0, 360, 278};
    extra.u.do_click.screen_point = PF_Point{288, 156};
    EXPECT_EQ(raydrift::ui::drawInfo(nullptr, nullptr, nullptr, &extra), PF_Err_NONE);
    EXPECT_EQ(extra.evt_out_flags, PF_EO_NONE);
    EXPECT_EQ(Launches::count, 0);
}

// A missing application suite only changes the background to the fixed grey; a missing
// drawing suite stops the draw with its error. Every suite acquired is released and
// every drawing object made is released.
TEST_F(AboutPanel, MissingSuites) {
    struct Case {
        const char* hidden;
        PF_Err err;
        std::size_t calls;
        float const* background;
    };
    for (Case c : {Case{"PF AE App Suite", PF_Err_NONE, 8, kFallbackBackground},
                   Case{"PF Effect Custom UI Suite", A_Err_MISSING_SUITE, 0, nullptr},
                   Case{kDRAWBOT_SurfaceSuite, PF_Err_BAD_CALLBACK_PARAM, 0, nullptr},
                   Case{kDRAWBOT_PathSuite, PF_Err_BAD_CALLBACK_PARAM, 0, nullptr}}) {
        SCOPED_TRACE(c.hidden);
        Host& host = linkedHost();
        host.clearHiddenSuites();
        host.hideSuite(c.hidden);
        const int suites = host.heldSuites();
        Panel panel(host, raydrift::kParamAboutPanel, PF_Rect{0, 0, 360, 278});
        EXPECT_EQ(panel.show(), c.err);
        ASSERT_EQ(panel.drawing().size(), c.calls);
        if (c.background) expectColour(panel.drawing()[0], c.background);
        EXPECT_EQ(panel.outFlags(), c.err ? PF_EO_NONE : PF_EO_HANDLED_EVENT);
        EXPECT_EQ(panel.unreleasedObjects(), 0);
        EXPECT_EQ(host.heldSuites(), suites);
    }
}

// The list as each system reports it, and the panel height that follows from it.
TEST(GpuNames, SystemRulesAndPanelHeight) {
    struct Metal {
        std::u16string name;
        bool available;
    };
    using raydrift::ui::metalGpuNames;
    EXPECT_EQ(metalGpuNames(Metal{u"Apple M2 Pro", true}), std::vector<std::u16string>{u"Apple M2 Pro"});
    EXPECT_EQ(metalGpuNames(Metal{u"", true}), std::vector<std::u16string>{u"Metal device (name unavailable)"});
    EXPECT_EQ(metalGpuNames(Metal{u"Apple M2 Pro", false}), std::vector<std::u16string>{u"No Metal device available."});

    using raydrift::ui::AdapterDescription;
    const std::vector<AdapterDescription> adapters = {
        {true, false, u"NVIDIA RTX A2000"}, {true, true, u"Microsoft Basic Render Driver"},
        {false, false, u"unreadable"}, {true, false, u"Intel(R) UHD Graphics 770"}};
    EXPECT_EQ(raydrift::ui::namesOrNoneLine(raydrift::ui::adapterNames(adapters)),
              (std::vector<std::u16string>{u"NVIDIA RTX A2000", u"Intel(R) UHD Graphics 770"}));
    // Only the software renderer: the fixed line, and a panel 278 high.
    const std::vector<std::u16string> softwareOnly =
        raydrift::ui::namesOrNoneLine(raydrift::ui::adapterNames({adapters[1]}));
    EXPECT_EQ(softwareOnly, std::vector<std::u16string>{kNoGpu});
    EXPECT_EQ(raydrift::aboutPanelHeight(softwareOnly.size()), 278);

    // This build reports the CUDA and OpenCL GPUs it sees (none on a machine without
    // them): the fixed line stands alone or not at all.
    std::vector<std::u16string> const& names = raydrift::ui::gpuNames();
    ASSERT_FALSE(names.empty());
    if (names[0] == kNoGpu) EXPECT_EQ(names.size(), 1u);
    else EXPECT_EQ(std::count(names.begin(), names.end(), kNoGpu), 0);
}

// The mark: premultiplied (no channel above alpha), mostly clear, an opaque star, and
// the streak fading and turning cyan towards the right.
TEST(AboutLogo, PremultipliedMark) {
    auto at = [](int x, int y, int c) {
        return raydrift::ui::kLogoPixels[static_cast<std::size_t>(y * raydrift::ui::kLogoRowBytes + 4 * x + c)];
    };
    int clear = 0;
    for (int y = 0; y < raydrift::ui::kLogoHeight; ++y)
        for (int x = 0; x < raydrift::ui::kLogoWidth; ++x) {
            for (int c = 0; c < 3; ++c) ASSERT_LE(at(x, y, c), at(x, y, 3)) << x << "," << y;
            clear += at(x, y, 3) == 0;
        }
    EXPECT_GT(clear, 150 * 56 / 2);
    EXPECT_EQ(at(38, 28, 3), 255);
    EXPECT_GT(at(60, 28, 3), at(130, 28, 3));
    EXPECT_GT(at(130, 28, 0), at(130, 28, 2));  // more blue than red
}

// The desktop launcher: found through the search path, started detached (nothing left
// to reap), and false when there is no handler or it cannot be run.
TEST(SupportLauncher, StartsTheDesktopHandler) {
    const fs::path dir = fs::temp_directory_path() / ("raydrift-launcher-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "good");
    fs::create_directories(dir / "broken");
    fs::create_directories(dir / "none");
    const fs::path opened = dir / "opened.txt";
    {
        std::ofstream script(dir / "good" / "xdg-open");
        script << "#!/bin/sh\nprintf '%s' \"$1\" > '" << opened.string() << ".tmp'\n/bin/mv '" << opened.string()
               << ".tmp' '" << opened.string() << "'\n";
    }
    { std::ofstream(dir / "broken" / "xdg-open") << "not a program\n"; }
    fs::permissions(dir / "good" / "xdg-open", fs::perms::owner_all);
    fs::permissions(dir / "broken" / "xdg-open", fs::perms::owner_all);
    const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";

    struct Case {
        const char* dir;
        bool starts;
    };
    for (Case c : {Case{"none", false}, Case{"broken", false}, Case{"good", true}}) {
        SCOPED_TRACE(c.dir);
        ::setenv("PATH", (dir / c.dir).c_str(), 1);
        EXPECT_EQ(raydrift::ui::openWithDesktop("https://example.com/a b"), c.starts);
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);  // no child of ours is left
    }
    ::setenv("PATH", savedPath.c_str(), 1);
    EXPECT_FALSE(raydrift::ui::openWithDesktop(""));
    for (int i = 0; i < 500 && !fs::exists(opened); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(opened);
    std::string url;
    std::getline(in, url);
    EXPECT_EQ(url, "https://example.com/a b");  // one argument, no shell splitting it
    fs::remove_all(dir);
}

}  // namespace
}  // namespace hosttest
