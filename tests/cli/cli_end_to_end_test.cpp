// The raydrift executable run as a user runs it: files in every supported format and
// depth, sequences, parallel jobs, and every way a command can fail.
#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct CliRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string slurp(fs::path const& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("raydrift-cli-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir);
    }

    CliRun run(std::string const& args) {
        const fs::path out = dir / ".stdout", err = dir / ".stderr";
        const std::string cmd = "cd '" + dir.string() + "' && '" RAYDRIFT_CLI "' " + args + " >'" +
                                out.string() + "' 2>'" + err.string() + "'";
        const int status = std::system(cmd.c_str());
        CliRun r;
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = slurp(out);
        r.err = slurp(err);
        fs::remove(out);
        fs::remove(err);
        return r;
    }

    fs::path dir;
};

// A dark picture with one bright light near the bottom left; its streak runs upwards,
// so the right half is left alone by the effect.
struct Pixels {
    int width = 48, height = 32, channels = 4;
    std::vector<float> v;
    float& at(int x, int y, int c) { return v[(std::size_t(y) * width + x) * channels + c]; }
};

Pixels testPicture(int channels, bool straightAlpha) {
    Pixels p;
    p.channels = channels;
    p.v.assign(std::size_t(p.width) * p.height * channels, 0.0f);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            // Values on each format's grid, so the file holds exactly what we compare.
            p.at(x, y, 0) = float((x * 7 + y * 3) % 40) / 255.0f;
            p.at(x, y, 1) = float((x + y * 5) % 30) / 255.0f;
            p.at(x, y, 2) = float((x * 3 + y) % 50) / 255.0f;
            if (channels == 4) p.at(x, y, 3) = straightAlpha ? float(128 + (x * 5 + y) % 128) / 255.0f : 1.0f;
        }
    for (int y = 24; y < 27; ++y)
        for (int x = 6; x < 9; ++x)
            for (int c = 0; c < 3; ++c) p.at(x, y, c) = 1.0f;
    return p;
}

void writeImage(fs::path const& path, Pixels const& p, OIIO::TypeDesc type, bool straight = false) {
    auto out = OIIO::ImageOutput::create(path.string());
    ASSERT_TRUE(out) << OIIO::geterror();
    OIIO::ImageSpec header(p.width, p.height, p.channels, type);
    if (p.channels == 4) header.alpha_channel = 3;
    if (straight) header.attribute("oiio:UnassociatedAlpha", 1);
    ASSERT_TRUE(out->open(path.string(), header)) << out->geterror();
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, p.v.data())) << out->geterror();
    ASSERT_TRUE(out->close());
}

// The file's samples in its own type, as raw integers or float bits.
struct Samples {
    int width = 0, height = 0, channels = 0;
    OIIO::TypeDesc type;
    std::vector<float> v;  // as floats, for brightness
    std::vector<std::uint32_t> raw;  // native samples, widened
};

Samples readImage(fs::path const& path) {
    Samples s;
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(path.string(), &config);
    EXPECT_TRUE(in) << OIIO::geterror();
    if (!in) return s;
    const OIIO::ImageSpec& header = in->spec();
    s.width = header.width;
    s.height = header.height;
    s.channels = header.nchannels;
    s.type = header.format;
    const std::size_t n = std::size_t(s.width) * s.height * s.channels;
    s.v.resize(n);
    EXPECT_TRUE(in->read_image(0, 0, 0, s.channels, OIIO::TypeDesc::FLOAT, s.v.data()));
    s.raw.resize(n);
    if (s.type == OIIO::TypeDesc::UINT8) {
        std::vector<std::uint8_t> b(n);
        EXPECT_TRUE(in->read_image(0, 0, 0, s.channels, OIIO::TypeDesc::UINT8, b.data()));
        std::copy(b.begin(), b.end(), s.raw.begin());
    } else if (s.type == OIIO::TypeDesc::UINT16 || s.type == OIIO::TypeDesc::HALF) {
        std::vector<std::uint16_t> b(n);
        EXPECT_TRUE(in->read_image(0, 0, 0, s.channels, s.type, b.data()));
        std::copy(b.begin(), b.end(), s.raw.begin());
    } else {
        std::vector<std::uint32_t> b(n);
        EXPECT_TRUE(in->read_image(0, 0, 0, s.channels, OIIO::TypeDesc::FLOAT, b.data()));
        s.raw = b;
    }
    return s;
}

double brightness(Samples const& s, int x0, int x1) {
    double sum = 0;
    for (int y = 0; y < s.height; ++y)
        for (int x = x0; x < x1; ++x)
            for (int c = 0; c < 3; ++c) sum += s.v[(std::size_t(y) * s.width + x) * s.channels + c];
    return sum;
}

// Samples of columns [x0, x1) equal, bit for bit.
int differingSamples(Samples const& a, Samples const& b, int x0, int x1) {
    int n = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = x0; x < x1; ++x)
            for (int c = 0; c < a.channels; ++c) {
                const std::size_t i = (std::size_t(y) * a.width + x) * a.channels + c;
                n += a.raw[i] != b.raw[i];
            }
    return n;
}

TEST_F(Cli, EveryFormatRoundTripsWhatTheEffectLeavesAlone) {
    struct Case {
        const char* file;
        OIIO::TypeDesc type;
        int channels;
        bool straight;
    };
    const std::vector<Case> cases = {
        {"in8.png", OIIO::TypeDesc::UINT8, 4, true},   {"in16.png", OIIO::TypeDesc::UINT16, 3, false},
        {"in8.tif", OIIO::TypeDesc::UINT8, 4, false},  {"in16.tif", OIIO::TypeDesc::UINT16, 4, false},
        {"inf.tif", OIIO::TypeDesc::FLOAT, 4, false},  {"inh.exr", OIIO::TypeDesc::HALF, 4, false},
        {"inf.exr", OIIO::TypeDesc::FLOAT, 3, false},  {"in16.dpx", OIIO::TypeDesc::UINT16, 3, false},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.file);
        writeImage(dir / c.file, testPicture(c.channels, c.straight), c.type, c.straight);
        const Samples in = readImage(dir / c.file);

        CliRun r = run(std::string("render ") + c.file + " -o out-" + c.file);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const Samples out = readImage(dir / (std::string("out-") + c.file));
        ASSERT_EQ(out.width, in.width);
        ASSERT_EQ(out.channels, in.channels);
        EXPECT_EQ(out.type, in.type);
        EXPECT_EQ(differingSamples(in, out, 24, in.width), 0);
        EXPECT_GT(brightness(out, 0, 16), brightness(in, 0, 16) + 1.0);

        // At zero intensity every pixel comes back as it was, alpha convention and all.
        r = run(std::string("render ") + c.file + " -o zero-" + c.file + " --set Intensity=0");
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(differingSamples(in, readImage(dir / (std::string("zero-") + c.file)), 0, in.width), 0);
    }

    // JPEG is lossy: it only has to render and brighten.
    writeImage(dir / "in.jpg", testPicture(3, false), OIIO::TypeDesc::UINT8);
    const CliRun r = run("render in.jpg -o out.jpg");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_GT(brightness(readImage(dir / "out.jpg"), 0, 16), brightness(readImage(dir / "in.jpg"), 0, 16) + 1.0);
}

TEST_F(Cli, DepthOverrideAndThePremiereHost) {
    writeImage(dir / "in.tif", testPicture(3, false), OIIO::TypeDesc::UINT8);
    ASSERT_EQ(run("render in.tif -o ae.tif").exitCode, 0);
    const CliRun p = run("render in.tif -o pr.tif --host premiere");
    ASSERT_EQ(p.exitCode, 0) << p.err;
    // An opaque picture has the same colour straight or premultiplied.
    EXPECT_EQ(differingSamples(readImage(dir / "ae.tif"), readImage(dir / "pr.tif"), 0, 48), 0);

    const CliRun d = run("render in.tif -o deep.tif --depth 32");
    ASSERT_EQ(d.exitCode, 0) << d.err;
    const Samples deep = readImage(dir / "deep.tif");
    EXPECT_EQ(deep.type, OIIO::TypeDesc::UINT8);
    EXPECT_EQ(differingSamples(readImage(dir / "in.tif"), deep, 24, 48), 0);
}

TEST_F(Cli, SequencesAnimateJitterAndJobsDoNotChangeFrames) {
    for (int f = 1; f <= 5; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "shot.%04d.exr", f);
        writeImage(dir / name, testPicture(4, false), OIIO::TypeDesc::HALF);
    }
    // Streak sizes follow the frame size, so on this small picture the Length must wander
    // widely and quickly for every frame to differ.
    const std::string jitter =
        " --set \"Jitter/Length=on\" --set \"Jitter/Length/Amount=1000\" --set \"Length/Speed=100\" --fps 24";
    CliRun r = run("render shot.####.exr -o a/seq.####.exr --jobs 1" + jitter);
    EXPECT_NE(r.exitCode, 0) << "a missing output folder fails every frame";

    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    r = run("render shot.####.exr -o a/seq.####.exr --jobs 1" + jitter);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("5 rendered, 0 failed"), std::string::npos) << r.err;
    r = run("render shot.%04d.exr -o b/seq.%04d.exr --frames 1-5 --jobs 2" + jitter);
    ASSERT_EQ(r.exitCode, 0) << r.err;

    std::vector<std::string> frames;
    for (int f = 1; f <= 5; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "seq.%04d.exr", f);
        frames.push_back(slurp(dir / "a" / name));
        EXPECT_TRUE(frames.back() == slurp(dir / "b" / name)) << name;
    }
    for (int f = 1; f < 5; ++f) EXPECT_FALSE(frames[f] == frames[f - 1]) << "Jitter must move between frames";

    // A missing frame is reported by name; the others still render.
    fs::remove(dir / "shot.0003.exr");
    r = run("render shot.####.exr -o b/re.####.exr --frames 1-5");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("shot.0003.exr"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(dir / "b" / "re.0005.exr"));
    r = run("render shot.####.exr -o b/ff.####.exr --frames 3-5 --fail-fast");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(fs::exists(dir / "b" / "ff.0005.exr"));
}

TEST_F(Cli, ErrorsAreOneLineWithAnExitCodeAndLeaveNoFiles) {
    writeImage(dir / "in.png", testPicture(3, false), OIIO::TypeDesc::UINT8);
    std::ofstream(dir / "garbage.png") << "this is not a picture";
    fs::create_directories(dir / "taken.png");

    struct Case {
        std::string args;
        int exitCode;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"render missing.png -o out.png", 1, "cannot read 'missing.png': no such file"},
        {"render garbage.png -o out.png", 1, "cannot read 'garbage.png'"},
        {"render in.png -o out.png --set Glow=3", 2, "unknown parameter \"Glow\""},
        {"render in.png -o out.png --set Length=5000", 2, "accepted: 0.0 to 1000.0"},
        {"render in.png -o out.png --set \"Blend Mode=Glow\"", 2, "Screen"},
        {"render in.png -o out.png --set Length", 2, "Name=value"},
        {"render in.png -o out.png --jobs 0", 2, "--jobs"},
        {"render in.png -o out.png --bogus", 2, "unknown option"},
        {"render in.png -o no/such/dir/out.png", 1, "cannot write 'no/such/dir/out.png'"},
        {"render in.png -o taken.png", 1, "cannot write 'taken.png'"},
        {"render in.png --plugin /nonexistent.so", 1, "cannot load the plug-in"},
        {"frobnicate", 2, "unknown command"},
        {"bench nosuch", 2, "unknown scenario"},
    };
    for (Case const& c : cases) {
        const CliRun r = run(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.args << "\n" << r.err;
    }
    // Nothing but the inputs: no output and no temporary file from the failed writes.
    std::vector<std::string> left;
    for (auto const& e : fs::directory_iterator(dir)) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"garbage.png", "in.png", "taken.png"}));
    EXPECT_TRUE(fs::is_empty(dir / "taken.png"));
}

TEST_F(Cli, DemoShowsStreaksAndTheOtherCommandsAnswer) {
    CliRun r = run("render");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const Samples demo = readImage(dir / "raydrift-demo.png");
    ASSERT_EQ(demo.width, 1920);
    ASSERT_EQ(demo.height, 1080);
    EXPECT_EQ(demo.type, OIIO::TypeDesc::UINT8);
    r = run("render -o plain.png --set Intensity=0");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const Samples plain = readImage(dir / "plain.png");
    // The streaks add light above the scene: many pixels brighten, and the light they
    // gain far outweighs what the composite takes from the lights' own cores.
    double added = 0.0, removed = 0.0;
    long brightened = 0;
    for (std::size_t i = 0; i < demo.v.size(); ++i) {
        const double d = double(demo.v[i]) - double(plain.v[i]);
        (d > 0 ? added : removed) += std::fabs(d);
        brightened += d > 2.0 / 255.0;
    }
    EXPECT_GT(brightened, 1920L * 1080L / 20) << "streaks cover at least 5 % of the samples";
    EXPECT_GT(added, 5.0 * removed);

    r = run("params");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Style/Blend Mode"), std::string::npos);
    EXPECT_NE(r.out.find("Normal|Add|Linear Dodge|Screen"), std::string::npos);
    EXPECT_NE(r.out.find("(hidden)"), std::string::npos);
    EXPECT_NE(run("params --host premiere").out.find("Jitter/Length/Amount"), std::string::npos);

    r = run("info");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Raydrift v"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("GPU Hardware"), std::string::npos);

    r = run("bench alpha-view-1080p --iterations 1 --json --no-engine");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\"scenario\": \"alpha-view-1080p\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"median_ms\""), std::string::npos);
}

}  // namespace
