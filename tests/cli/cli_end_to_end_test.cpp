// The raydrift executable run as a user runs it: files in every supported format and
// depth, sequences, parallel jobs, and every way a command can fail.
#include <gtest/gtest.h>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
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
        EXPECT_EQ(r.err.find(".raydrift-"), std::string::npos) << "names the user's file, not the temporary one";
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

namespace {

// One part of a synthetic file: named channels with their own sample types, a data
// window inside a display window, and the values of `Pixels` (channel c of pixel (x, y)).
struct Part {
    std::vector<std::string> names;
    std::vector<OIIO::TypeDesc> types;  // per channel; empty: all half
    int x = 0, y = 0, width = 48, height = 32;
    int fullWidth = 48, fullHeight = 32;
    std::string name;
    std::vector<float> v;
};

// Colours from testPicture with a bright light, then extra channels with values unlike
// any colour (depth from 10 to 50, AOVs of every sign).
Part makePart(std::vector<std::string> names, float light = 1.0f) {
    Part p;
    p.names = std::move(names);
    const int n = int(p.names.size());
    const Pixels base = testPicture(3, false);
    p.v.resize(std::size_t(p.width) * p.height * n);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            for (int c = 0; c < n; ++c) {
                const std::string& name = p.names[c];
                float v = 0.5f + 0.25f * float(std::sin(x * 0.7 + y * 1.3 + c));
                if (name == "R" || name == "G" || name == "B" || name == "Y")
                    v = base.v[(std::size_t(y) * base.width + x) * 3 + (name == "G" ? 1 : name == "B" ? 2 : 0)] *
                        (x >= 6 && x < 9 && y >= 24 && y < 27 ? light : 1.0f);
                else if (name == "A")
                    v = 1.0f;
                else if (name == "Z")
                    v = 10.0f + float(x + y);
                else
                    v = float((x * 13 + y * 7 + c) % 21) - 10.5f;
                p.v[(std::size_t(y) * p.width + x) * n + c] = v;
            }
    return p;
}

void writeParts(fs::path const& path, std::vector<Part> const& parts) {
    std::vector<OIIO::ImageSpec> specs;
    for (Part const& p : parts) {
        OIIO::ImageSpec s(p.width, p.height, int(p.names.size()), OIIO::TypeDesc::HALF);
        s.channelnames = p.names;
        if (!p.types.empty()) s.channelformats = p.types;
        s.x = p.x;
        s.y = p.y;
        s.full_width = p.fullWidth;
        s.full_height = p.fullHeight;
        s.alpha_channel = -1;
        for (std::size_t c = 0; c < p.names.size(); ++c)
            if (p.names[c] == "A") s.alpha_channel = int(c);
        if (!p.name.empty()) s.attribute("oiio:subimagename", p.name);
        specs.push_back(s);
    }
    auto out = OIIO::ImageOutput::create(path.string());
    ASSERT_TRUE(out);
    ASSERT_TRUE(out->open(path.string(), int(specs.size()), specs.data())) << out->geterror();
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) {
            ASSERT_TRUE(out->open(path.string(), specs[i], OIIO::ImageOutput::AppendSubimage));
        }
        ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, parts[i].v.data())) << out->geterror();
    }
    ASSERT_TRUE(out->close());
}

struct ReadPart {
    OIIO::ImageSpec header;  // the part's file header
    std::vector<float> v;
    // Channel `name` of every pixel, exactly as stored (half and float widen exactly).
    std::vector<float> channel(std::string const& name) const {
        std::vector<float> out;
        const auto it = std::find(header.channelnames.begin(), header.channelnames.end(), name);
        if (it == header.channelnames.end()) return out;
        const std::size_t c = std::size_t(it - header.channelnames.begin()), n = std::size_t(header.nchannels);
        for (std::size_t i = c; i < v.size(); i += n) out.push_back(v[i]);
        return out;
    }
};

std::vector<ReadPart> readParts(fs::path const& path) {
    std::vector<ReadPart> parts;
    auto in = OIIO::ImageInput::open(path.string());
    EXPECT_TRUE(in) << OIIO::geterror();
    for (int i = 0; in && in->seek_subimage(i, 0); ++i) {
        ReadPart p{in->spec(), {}};
        p.v.resize(p.header.image_pixels() * p.header.nchannels);
        EXPECT_TRUE(in->read_image(i, 0, 0, p.header.nchannels, OIIO::TypeDesc::FLOAT, p.v.data()));
        parts.push_back(std::move(p));
    }
    return parts;
}

double sum(std::vector<float> const& v) {
    double s = 0;
    for (float x : v) s += x;
    return s;
}

}  // namespace

// Depth, AOVs, other parts, data windows and grey files come out as they went in, in
// their places and types; colour is found by name and only colour is rendered.
TEST_F(Cli, ChannelsPartsAndWindowsSurvive) {
    using T = OIIO::TypeDesc;
    Part rgbz = makePart({"R", "G", "B", "Z"});
    rgbz.types = {T::HALF, T::HALF, T::HALF, T::FLOAT};
    Part aovs = makePart({"R", "G", "B", "Z", "diffuse.R", "diffuse.G", "specular.R"});
    Part overscan = makePart({"R", "G", "B", "A"});
    overscan.x = -4;
    overscan.y = -3;
    overscan.width = 48;
    overscan.height = 32;
    overscan.fullWidth = 40;
    overscan.fullHeight = 26;
    Part beauty = makePart({"R", "G", "B", "A"});
    beauty.name = "beauty";
    Part depth = makePart({"Z"});
    depth.types = {T::FLOAT};
    depth.name = "depth";
    struct Case {
        std::string file;
        std::vector<Part> parts;
        std::string options;
        int rendered;  // the part whose colour brightens
    };
    const std::vector<Case> cases = {
        {"rgbz.exr", {rgbz}, "", 0},
        {"aovs.exr", {aovs}, "", 0},
        {"overscan.exr", {overscan}, "", 0},
        {"twopart.exr", {depth, beauty}, "--subimage beauty", 1},
        {"twopart1.exr", {beauty, depth}, "", 0},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.file);
        writeParts(dir / c.file, c.parts);
        const CliRun r = run("render " + c.file + " -o out-" + c.file + " " + c.options);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const auto in = readParts(dir / c.file), out = readParts(dir / ("out-" + c.file));
        ASSERT_EQ(out.size(), in.size());
        for (std::size_t i = 0; i < in.size(); ++i) {
            OIIO::ImageSpec const &a = in[i].header, &b = out[i].header;
            EXPECT_EQ(b.channelnames, a.channelnames) << i;
            EXPECT_EQ(b.alpha_channel, a.alpha_channel);
            EXPECT_EQ(std::vector<int>({b.x, b.y, b.width, b.height, b.full_x, b.full_y, b.full_width, b.full_height}),
                      std::vector<int>({a.x, a.y, a.width, a.height, a.full_x, a.full_y, a.full_width, a.full_height}));
            for (int ch = 0; ch < a.nchannels; ++ch) {
                std::string const& name = a.channelnames[ch];
                EXPECT_EQ(b.channelformat(ch), a.channelformat(ch)) << name;
                const bool colour = int(i) == c.rendered && (name == "R" || name == "G" || name == "B");
                if (colour)
                    EXPECT_GT(sum(out[i].channel(name)), sum(in[i].channel(name)) + 1.0) << name;
                else
                    EXPECT_TRUE(out[i].channel(name) == in[i].channel(name)) << name;
            }
        }
        // The rendered colour does not depend on the channels beside it, and the right
        // half, which the streak does not reach, lines up pixel for pixel with the input.
        const std::vector<float> red = out[c.rendered].channel("R"), inRed = in[c.rendered].channel("R");
        writeParts(dir / "plain.exr", {makePart({"R", "G", "B"})});
        ASSERT_EQ(run("render plain.exr -o plain-out.exr").exitCode, 0);
        if (c.file != "overscan.exr") {
            EXPECT_TRUE(readParts(dir / "plain-out.exr")[0].channel("R") == red);
        }
        for (int y = 0; y < 32; ++y)
            for (int x = 24; x < 48; ++x) ASSERT_EQ(red[y * 48 + x], inRed[y * 48 + x]) << x << "," << y;
    }

    // Grey files stay grey, with their alpha; a file without colour is refused.
    const Pixels rgb = testPicture(3, false);
    Pixels y = rgb, ya = rgb;
    y.channels = 1;
    ya.channels = 2;
    y.v.clear();
    ya.v.clear();
    for (std::size_t i = 0; i < rgb.v.size(); i += 3) {
        y.v.push_back(rgb.v[i]);
        ya.v.insert(ya.v.end(), {rgb.v[i], 0.5f});
    }
    writeImage(dir / "y.png", y, T::UINT16);
    writeImage(dir / "ya.png", ya, T::UINT8);
    for (const char* grey : {"y.png", "ya.png"}) {
        const CliRun r = run(std::string("render ") + grey + " -o out-" + grey);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const Samples in = readImage(dir / grey), out = readImage(dir / (std::string("out-") + grey));
        EXPECT_EQ(out.channels, in.channels);
        EXPECT_EQ(out.type, in.type);
        EXPECT_EQ(differingSamples(in, out, 24, 48), 0);
    }
    writeParts(dir / "zonly.exr", {depth});
    const CliRun r = run("render zonly.exr -o out.exr");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no colour channels (R, G, B or Y) among Z"), std::string::npos) << r.err;
}

// Views and sample types whose values the file convention changes: the Alpha view
// composited over black is the Black view's light, in premultiplied and straight files;
// half files hold at most 65504 where the blend exceeds it; a truncated JPEG fails.
TEST_F(Cli, ViewsRangesAndDamagedFiles) {
    writeParts(dir / "in.exr", {makePart({"R", "G", "B", "A"}, 5000.0f)});
    writeImage(dir / "in.png", testPicture(4, true), OIIO::TypeDesc::UINT8, true);
    for (const char* ext : {".exr", ".png"}) {
        SCOPED_TRACE(ext);
        // Stored values, so that "over" in the file's values is over in light.
        const std::string in = std::string("in") + ext + " --colorspace raw";
        ASSERT_EQ(run("render " + in + " -o black" + ext + " --set View=Black").exitCode, 0);
        ASSERT_EQ(run("render " + in + " -o alpha" + ext + " --set View=Alpha").exitCode, 0);
        const Samples black = readImage(dir / (std::string("black") + ext));
        const Samples alpha = readImage(dir / (std::string("alpha") + ext));
        const bool straight = std::string(ext) == ".png";
        double worst = 0, light = 0;
        for (std::size_t i = 0; i < alpha.v.size(); i += 4)
            for (int c = 0; c < 3; ++c) {
                const double over = alpha.v[i + c] * (straight ? alpha.v[i + 3] : 1.0f);
                const double onBlack = black.v[i + c] * (straight ? black.v[i + 3] : 1.0f);
                worst = std::max(worst, std::fabs(over - onBlack) / std::max(1.0, onBlack));
                light += onBlack;
            }
        EXPECT_GT(light, 1.0);
        EXPECT_LT(worst, straight ? 1.5 / 255 : 2e-3);
    }

    for (const char* mode : {"Multiply", "Color Dodge"}) {
        const CliRun r = run(std::string("render in.exr -o blend.exr --set Intensity=1000 --set \"Blend Mode=") +
                             mode + "\"");
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const Samples out = readImage(dir / "blend.exr");
        EXPECT_EQ(out.type, OIIO::TypeDesc::HALF);
        float biggest = 0;
        for (float v : out.v) {
            ASSERT_TRUE(std::isfinite(v)) << mode;
            biggest = std::max(biggest, std::fabs(v));
        }
        if (std::string(mode) == "Multiply") {
            EXPECT_EQ(biggest, 65504.0f);
        }
    }

    // A JPEG cut short opens, and its reader reports the damage only after the read.
    Pixels noisy;
    noisy.width = noisy.height = 64;
    noisy.channels = 3;
    for (int i = 0; i < 64 * 64 * 3; ++i) noisy.v.push_back(float((i * 7919) % 251) / 255.0f);
    writeImage(dir / "whole.jpg", noisy, OIIO::TypeDesc::UINT8);
    const std::string bytes = slurp(dir / "whole.jpg");
    std::ofstream(dir / "cut.jpg", std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    const CliRun r = run("render cut.jpg -o cut-out.png");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot read 'cut.jpg'"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(fs::exists(dir / "cut-out.png"));
}

// Sample types, bits, compression and quality as oiiotool's -d, --compression and
// --quality give them; the file says what rendered it and with which parameters.
TEST_F(Cli, OutputControlAndProvenance) {
    using T = OIIO::TypeDesc;
    writeImage(dir / "in.exr", testPicture(4, false), T::HALF);
    writeImage(dir / "in.png", testPicture(3, false), T::UINT8);
    {
        auto out = OIIO::ImageOutput::create("dpx");
        OIIO::ImageSpec header(48, 32, 3, T::UINT16);
        header.attribute("oiio:BitsPerSample", 10);
        const Pixels p = testPicture(3, false);
        ASSERT_TRUE(out->open((dir / "in10.dpx").string(), header));
        ASSERT_TRUE(out->write_image(T::FLOAT, p.v.data()));
        ASSERT_TRUE(out->close());
    }
    struct Case {
        std::string args;
        T type;
        int bits;  // 0: the format does not say
        std::string compression;
        bool parameters;  // the format keeps attributes of any name
    };
    const std::vector<Case> cases = {
        {"in10.dpx -o out.dpx", T::UINT16, 10, "", false},
        {"in10.dpx -o out16.dpx -d uint16", T::UINT16, 16, "", false},
        {"in.exr -o out.exr", T::HALF, 0, "zip", true},
        {"in.exr -o outf.exr -d float --compression piz", T::FLOAT, 0, "piz", true},
        {"in.exr -o out8.tif -d uint8", T::UINT8, 8, "", false},
        {"in.png -o outh.exr -d half", T::HALF, 0, "", true},
        {"in.exr -o out.png", T::UINT16, 0, "", true},
    };
    for (Case const& c : cases) {
        const CliRun r = run("render " + c.args + " --set Length=400 --set \"Blend Mode=Screen\"");
        ASSERT_EQ(r.exitCode, 0) << c.args << "\n" << r.err;
        const std::string file = c.args.substr(c.args.find("-o ") + 3, c.args.find(' ', c.args.find("-o ") + 3) -
                                                                              c.args.find("-o ") - 3);
        auto in = OIIO::ImageInput::open((dir / file).string());
        ASSERT_TRUE(in) << file;
        OIIO::ImageSpec const& h = in->spec();
        EXPECT_EQ(h.format, c.type) << file;
        EXPECT_EQ(h.get_int_attribute("oiio:BitsPerSample"), c.bits) << file;
        if (!c.compression.empty()) {
            EXPECT_EQ(h.get_string_attribute("compression"), c.compression) << file;
        }
        EXPECT_EQ(std::string(h.get_string_attribute("Software")).find("Raydrift "), 0u) << file;
        if (c.parameters) {
            EXPECT_EQ(h.get_string_attribute("raydrift:parameters"), "Streak/Length=400.0; Style/Blend Mode=Screen")
                << file;
        }
    }

    std::uintmax_t sizes[2];
    for (int q : {0, 1}) {
        const std::string name = "q" + std::to_string(q) + ".jpg";
        ASSERT_EQ(run("render in.png -o " + name + (q ? " --quality 95" : " --quality 10")).exitCode, 0);
        sizes[q] = fs::file_size(dir / name);
    }
    EXPECT_LT(sizes[0] * 3, sizes[1] * 2);
}

// What users of oiiotool and Nuke expect: help everywhere, suggestions for typos, frame
// lists, per-frame times, and inputs that are not replaced by accident.
TEST_F(Cli, HabitsOfCompositingTools) {
    for (const char* command : {"render", "params", "info", "bench", "ui"}) {
        const CliRun r = run(std::string(command) + " --help");
        EXPECT_EQ(r.exitCode, 0) << command;
        EXPECT_EQ(r.out.find(std::string("usage: raydrift ") + command), 0u) << r.out;
    }

    writeImage(dir / "in.png", testPicture(3, false), OIIO::TypeDesc::UINT8);
    struct Case {
        std::string args;
        std::string message;
    };
    const std::vector<Case> typos = {
        {"render in.png --set \"Symmetric Blur=on\"", "did you mean \"Streak/Symetric Blur\"?"},
        {"render in.png --set Lenght=30", "did you mean \"Streak/Length\""},
        {"render in.png --set \"Blend Mode=Scren\"", "did you mean \"Screen\"?"},
        {"render in.png --set \"Edge Mode=mirorr\"", "did you mean \"Mirror\"?"},
        {"render in.png --frams 1", "did you mean \"--frames\"?"},
        {"rendr in.png", "did you mean \"render\"?"},
        {"render in.png --frames 1-3", "--frames needs a sequence"},
        {"render in.png -o in.png", "'in.png' is the input; pass --overwrite"},
        {"render in.png -o ./in.png", "pass --overwrite"},
        {"render in.png --colorspace bogus", "unknown colour space \"bogus\""},
    };
    for (Case const& c : typos) {
        const CliRun r = run(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    }
    EXPECT_EQ(run("render in.png --set Glow=1").err.find("did you mean"), std::string::npos);
    const std::string before = slurp(dir / "in.png");
    ASSERT_EQ(run("render in.png -o in.png --overwrite").exitCode, 0);
    EXPECT_NE(slurp(dir / "in.png"), before);

    CliRun r;
    for (int f = 1; f <= 6; ++f)
        writeImage(dir / ("s." + std::to_string(f) + ".exr"), testPicture(4, false), OIIO::TypeDesc::HALF);
    r = run("render s.%d.exr -o o.%d.exr --frames 1-5x2,6 --verbose");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (int f = 1; f <= 6; ++f) {
        const bool listed = f % 2 == 1 || f == 6;
        EXPECT_EQ(fs::exists(dir / ("o." + std::to_string(f) + ".exr")), listed) << f;
        const std::string line = "frame " + std::to_string(f) + ": s." + std::to_string(f) + ".exr -> o.";
        EXPECT_EQ(r.err.find(line) != std::string::npos, listed) << r.err;
    }
    EXPECT_NE(r.err.find(" ms, render "), std::string::npos) << r.err;
    r = run("render s.%d.exr -o s.%d.exr --frames 2");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("pass --overwrite"), std::string::npos) << r.err;
}

// Light adds up in linear light: an sRGB PNG rendered with --colorspace auto is its
// linearised float EXR rendered and encoded back, within a code value.
TEST_F(Cli, ColourSpacesRenderInLinearLight) {
    writeImage(dir / "in.png", testPicture(3, false), OIIO::TypeDesc::UINT8);
    OIIO::ImageBuf png((dir / "in.png").string());
    ASSERT_TRUE(png.read(0, 0, true, OIIO::TypeDesc::FLOAT));  // linear light needs more than 8 bits
    const OIIO::ImageBuf linear = OIIO::ImageBufAlgo::colorconvert(png, "sRGB", "linear");
    ASSERT_TRUE(linear.write((dir / "lin.exr").string(), OIIO::TypeDesc::FLOAT));
    ASSERT_EQ(run("render lin.exr -o lin-out.exr").exitCode, 0);
    const OIIO::ImageBuf expected =
        OIIO::ImageBufAlgo::colorconvert(OIIO::ImageBuf((dir / "lin-out.exr").string()), "linear", "sRGB");

    struct Case {
        std::string options;
        bool linearLight;
    };
    for (Case const& c : std::vector<Case>{{"", true}, {"--colorspace sRGB", true}, {"--colorspace raw", false}}) {
        const CliRun r = run("render in.png -o out.png " + c.options);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const Samples out = readImage(dir / "out.png");
        ASSERT_EQ(out.type, OIIO::TypeDesc::UINT8);
        int worst = 0;
        for (int y = 0; y < out.height; ++y)
            for (int x = 0; x < out.width; ++x)
                for (int ch = 0; ch < 3; ++ch) {
                    const float e = std::clamp(expected.getchannel(x, y, 0, ch), 0.0f, 1.0f);
                    const int code = int(std::lround(e * 255.0f));
                    worst = std::max(worst, std::abs(code - int(out.raw[(std::size_t(y) * out.width + x) * 3 + ch])));
                }
        if (c.linearLight)
            EXPECT_LE(worst, 1) << c.options;
        else
            EXPECT_GT(worst, 10) << "stored values add up differently";
    }
}

// The README's parameter reference is the command's output, so it cannot drift from the
// plug-in's parameters.
TEST_F(Cli, ReadmeParameterReferenceIsGenerated) {
    const CliRun r = run("params --markdown");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string readme = slurp(RAYDRIFT_README);
    const std::string begin = "<!-- raydrift params --markdown -->\n", end = "<!-- end of raydrift params --markdown -->";
    const auto from = readme.find(begin), to = readme.find(end);
    ASSERT_NE(from, std::string::npos);
    ASSERT_NE(to, std::string::npos);
    EXPECT_EQ(readme.substr(from + begin.size(), to - from - begin.size()), r.out)
        << "regenerate the README section with raydrift params --markdown";
    for (const char* needle : {"`Streak/Length` | 200.0", "pixels of a 1920 × 1080 frame", "% of luma",
                               "0 points up, angles turn clockwise", "Soft Light, Hard Light and Exclusion are defined"})
        EXPECT_NE(r.out.find(needle), std::string::npos) << needle;
}

// A job keeps its buffers and worlds from frame to frame: nothing of one frame may show
// in the next, whatever their content, size or channels, at any number of jobs.
TEST_F(Cli, SequenceFramesEqualSingleRenders) {
    std::vector<Part> frames = {makePart({"R", "G", "B", "A"}, 50.0f), makePart({"R", "G", "B", "A"}, 0.0f),
                                makePart({"R", "G", "B"}, 20.0f), makePart({"R", "G", "B", "A"}, 8.0f)};
    frames[2].width = frames[2].fullWidth = 40;  // a narrower frame: the rows of the input are shorter
    frames[2].v.resize(std::size_t(40) * 32 * 3);
    for (int f = 0; f < 4; ++f) {
        const std::string name = "f." + std::to_string(f + 1) + ".exr";
        writeParts(dir / name, {frames[f]});
        ASSERT_EQ(run("render " + name + " -o single." + std::to_string(f + 1) + ".exr").exitCode, 0);
    }
    for (const char* jobs : {"1", "2"}) {
        const CliRun r = run(std::string("render f.%d.exr -o seq.%d.exr --overwrite --jobs ") + jobs);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        for (int f = 1; f <= 4; ++f) {
            const Samples single = readImage(dir / ("single." + std::to_string(f) + ".exr"));
            const Samples seq = readImage(dir / ("seq." + std::to_string(f) + ".exr"));
            ASSERT_EQ(seq.width, single.width) << f;
            EXPECT_TRUE(seq.raw == single.raw) << "frame " << f << " with --jobs " << jobs;
        }
    }
}

// --gpu through the first host's GPU path on OpenCL (PoCL's CPU device here, which only an
// explicit --gpu opencl may take): the demo and a 24-frame sequence with two jobs in
// flight equal the CPU's frames within 2^-16·max(|cpu|,1), and every refusal is one line.
TEST_F(Cli, GpuOptionRendersOnOpenClAsTheCpuDoes) {
    CliRun r = run("info");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Devices:\n  CPU"), std::string::npos) << r.out;
    if (r.out.find("OpenCL ") == std::string::npos) GTEST_SKIP() << "no OpenCL device:\n" << r.out;

    auto worst = [](Samples const& gpu, Samples const& cpu) {
        double w = gpu.v.size() == cpu.v.size() ? 0.0 : INFINITY;
        for (std::size_t i = 0; i < cpu.v.size() && i < gpu.v.size(); ++i)
            w = std::max(w, std::fabs(double(gpu.v[i]) - cpu.v[i]) / std::ldexp(std::max(std::fabs(double(cpu.v[i])), 1.0), -16));
        return w;
    };
    r = run("render -o off.exr -d float --gpu off");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = run("render -o cl.exr -d float --gpu opencl");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("rendering on "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(OpenCL"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("on the CPU"), std::string::npos) << r.err;
    EXPECT_LE(worst(readImage(dir / "cl.exr"), readImage(dir / "off.exr")), 1.0);
    // Use GPU off in the effect: the plug-in declines the device and says so.
    r = run("render -o declined.exr -d float --gpu opencl --set \"Use GPU=off\"");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("1 frame(s) rendered on the CPU"), std::string::npos) << r.err;

    for (int f = 1; f <= 24; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "shot.%04d.exr", f);
        writeImage(dir / name, testPicture(4, false), OIIO::TypeDesc::HALF);
    }
    fs::create_directories(dir / "cpu");
    fs::create_directories(dir / "gpu");
    const std::string jitter = " --set \"Jitter/Length=on\" --set \"Jitter/Length/Amount=1000\" -d float";
    r = run("render shot.####.exr -o cpu/f.####.exr --jobs 2" + jitter);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = run("render shot.####.exr -o gpu/f.####.exr --jobs 2 --gpu opencl" + jitter);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("24 rendered, 0 failed"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("on the CPU"), std::string::npos) << "every frame on the device: " << r.err;
    for (int f = 1; f <= 24; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "f.%04d.exr", f);
        EXPECT_LE(worst(readImage(dir / "gpu" / name), readImage(dir / "cpu" / name)), 1.0) << name;
    }

    const struct {
        std::string args;
        int exitCode;
        std::string message;
    } refusals[] = {
        {"render --gpu vulkan", 2, "--gpu expects auto, cuda, opencl or off"},
        {"render --gpu opencl --depth 8", 2, "--gpu renders on 32-bit float worlds"},
        {"render --gpu opencl --host premiere", 2, "drop --host premiere"},
        {"bench --gpu sometimes", 2, "--gpu expects"},
    };
    for (auto const& c : refusals) {
        r = run(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.args << ": " << r.err;
    }
    // Without a CUDA driver, asking for CUDA fails with a reason; auto never takes PoCL.
    if (r = run("info"); r.out.find("  CUDA ") == std::string::npos) {
        r = run("render -o c.exr --gpu cuda");
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("no CUDA device"), std::string::npos) << r.err;
        if (r = run("info"); r.out.find("OpenCL ") != std::string::npos && r.out.find("CPU device") != std::string::npos) {
            r = run("render -o a.exr --gpu auto");
            EXPECT_EQ(r.exitCode, 0);
            EXPECT_NE(r.err.find("no GPU device; rendering on the CPU"), std::string::npos) << r.err;
        }
    }
}
