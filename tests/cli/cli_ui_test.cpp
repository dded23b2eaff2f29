// `raydrift ui histogram` run as a user runs it: the picture it writes and its errors.
#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class CliUi : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("raydrift-cli-ui-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir);
    }
    int run(std::string const& args) {
        const std::string cmd = "cd '" + dir.string() + "' && '" RAYDRIFT_CLI "' " + args + " >/dev/null 2>&1";
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // RGBA bytes of a PNG, with its size.
    std::vector<unsigned char> readPng(std::string const& name, int& w, int& h) {
        auto in = OIIO::ImageInput::open((dir / name).string());
        if (!in) return {};
        w = in->spec().width, h = in->spec().height;
        const int n = in->spec().nchannels;  // an opaque picture may be stored as RGB
        std::vector<unsigned char> file(static_cast<std::size_t>(w) * h * n);
        in->read_image(0, 0, 0, n, OIIO::TypeDesc::UINT8, file.data());
        std::vector<unsigned char> px(static_cast<std::size_t>(w) * h * 4, 255);
        for (std::size_t i = 0; i < static_cast<std::size_t>(w) * h; ++i)
            for (int c = 0; c < std::min(n, 4); ++c) px[i * 4 + c] = file[i * n + c];
        return px;
    }
    fs::path dir;
};

// The demo scene at twice the control's 300 × 126, and an input with the threshold
// moved: the triangle sits under the new threshold.
TEST_F(CliUi, DrawsTheHistogramControl) {
    ASSERT_EQ(run("ui histogram -o panel.png"), 0);
    int w = 0, h = 0;
    std::vector<unsigned char> px = readPng("panel.png", w, h);
    ASSERT_EQ(w, 600);
    ASSERT_EQ(h, 252);
    EXPECT_NEAR(px[0], 19, 1);  // the control background, 0.075
    EXPECT_EQ(px[3], 255);

    // A grey ramp, Threshold 80 %: the triangle's middle at x = 2·(8 + 0.8·284), y = 2·103.
    OIIO::ImageSpec header(64, 16, 4, OIIO::TypeDesc::UINT8);
    std::vector<unsigned char> ramp(64 * 16 * 4);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 64; ++x)
            for (int c = 0; c < 4; ++c) ramp[(y * 64 + x) * 4 + c] = c == 3 ? 255 : static_cast<unsigned char>(x * 4);
    auto out = OIIO::ImageOutput::create((dir / "ramp.png").string());
    ASSERT_TRUE(out && out->open((dir / "ramp.png").string(), header));
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::UINT8, ramp.data()));
    out->close();
    for (const char* host : {"aftereffects", "premiere"}) {
        SCOPED_TRACE(host);
        ASSERT_EQ(run(std::string("ui histogram ramp.png --set Threshold=80 -o moved.png --host ") + host), 0);
        px = readPng("moved.png", w, h);
        ASSERT_EQ(px.size(), 600u * 252u * 4u);
        unsigned char const* p = &px[(206 * 600 + 470) * 4];
        EXPECT_NEAR(p[0], 71, 2);  // the accent colour 0.28, 0.78, 0.88
        EXPECT_NEAR(p[1], 199, 2);
        EXPECT_NEAR(p[2], 224, 2);
    }
}

// The about panel at the size the plug-in declares (360 × 278 with one GPU line), at 2x:
// the host's grey around the mark's white star and the button's grey at its left end.
TEST_F(CliUi, DrawsTheAboutPanel) {
    ASSERT_EQ(run("ui about"), 0);
    int w = 0, h = 0;
    std::vector<unsigned char> px = readPng("about-panel.png", w, h);
    ASSERT_EQ(w, 720);
    ASSERT_EQ(h, 556);
    EXPECT_NEAR(px[0], 51, 1);
    EXPECT_GT(px[(2 * 48 * 720 + 2 * (105 + 38)) * 4], 240);
    EXPECT_NEAR(px[(2 * 156 * 720 + 2 * 236) * 4], 87, 1);
}

TEST_F(CliUi, ErrorsAreOneLineAndAnExitCode) {
    EXPECT_EQ(run("ui"), 2);
    EXPECT_EQ(run("ui sliders"), 2);
    EXPECT_EQ(run("ui about input.png"), 2);
    EXPECT_EQ(run("ui histogram --set Nonsense=1 -o p.png"), 2);
    EXPECT_EQ(run("ui histogram --set Threshold=120 -o p.png"), 2);
    EXPECT_EQ(run("ui histogram --bogus"), 2);
    EXPECT_EQ(run("ui histogram missing.exr -o p.png"), 1);
    EXPECT_FALSE(fs::exists(dir / "p.png"));
    EXPECT_EQ(run("ui histogram -o /nonexistent/dir/p.png"), 1);
}

}  // namespace
