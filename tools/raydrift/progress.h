// Progress of a sequence render: a bar with frames per second and ETA on a terminal,
// one plain line per frame otherwise, and a summary at the end.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace raydrift::cli {

class Progress {
public:
    // A null `out` counts frames silently.
    Progress(long total, bool terminal, std::FILE* out = stderr);
    // Thread-safe: frames finish on the render threads.
    void frameDone(std::string const& name, bool ok, std::string const& error = {});
    // Ends the bar and prints "N rendered, M failed in T s (F fps)".
    void finish();

    long rendered() const { return rendered_; }
    long failed() const { return failed_; }

private:
    void drawBar();
    double elapsed() const;

    long total_;
    bool terminal_;
    std::FILE* out_;
    std::mutex mutex_;
    long rendered_ = 0;
    long failed_ = 0;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace raydrift::cli
