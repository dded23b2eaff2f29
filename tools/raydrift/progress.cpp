#include "progress.h"

namespace raydrift::cli {

Progress::Progress(long total, bool terminal, std::FILE* out)
    : total_(total), terminal_(terminal), out_(out), start_(std::chrono::steady_clock::now()) {}

double Progress::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Progress::frameDone(std::string const& name, bool ok, std::string const& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    (ok ? rendered_ : failed_)++;
    if (!out_) return;
    if (terminal_) {
        if (!ok) std::fprintf(out_, "\r\033[Kfailed: %s: %s\n", name.c_str(), error.c_str());
        drawBar();
    } else if (ok) {
        std::fprintf(out_, "[%ld/%ld] %s\n", rendered_ + failed_, total_, name.c_str());
    } else {
        std::fprintf(out_, "[%ld/%ld] failed: %s: %s\n", rendered_ + failed_, total_, name.c_str(),
                     error.c_str());
    }
    std::fflush(out_);
}

void Progress::drawBar() {
    const long done = rendered_ + failed_;
    const double t = elapsed();
    const double fps = t > 0.0 ? static_cast<double>(done) / t : 0.0;
    const double eta = fps > 0.0 ? static_cast<double>(total_ - done) / fps : 0.0;
    constexpr int kWidth = 30;
    const int filled = total_ > 0 ? static_cast<int>(kWidth * done / total_) : kWidth;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kWidth, '.');
    std::fprintf(out_, "\r\033[K[%s] %ld/%ld  %.2f fps  ETA %.0f s", bar.c_str(), done, total_, fps, eta);
}

void Progress::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!out_) return;
    const double t = elapsed();
    if (terminal_) std::fprintf(out_, "\r\033[K");
    std::fprintf(out_, "%ld rendered, %ld failed in %.2f s (%.2f fps)\n", rendered_, failed_, t,
                 t > 0.0 ? static_cast<double>(rendered_ + failed_) / t : 0.0);
    std::fflush(out_);
}

}  // namespace raydrift::cli
