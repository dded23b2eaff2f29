#include "host/frame_buffers.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace raydrift::frame_buffers {

namespace {

// Never destroyed: a host may send global set-down, and with it clear(), after this
// library's static destructors have run. The list lives in static storage rather than
// on the heap, so a library unloaded after set-down (which empties it) leaves nothing
// allocated. The mutex's destructor does nothing.
std::mutex mutex;
std::vector<image::Image>& idle() {
    using List = std::vector<image::Image>;
    alignas(List) static unsigned char storage[sizeof(List)];
    static List* images = new (storage) List();
    return *images;
}

}  // namespace

image::Image take() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<image::Image>& images = idle();
    if (images.empty()) return {};
    // The largest: a render at one size most often follows a render at the same size.
    auto largest = std::max_element(images.begin(), images.end(), [](auto const& a, auto const& b) {
        return a.pixels.capacity() < b.pixels.capacity();
    });
    image::Image img = std::move(*largest);
    images.erase(largest);
    return img;
}

void give(image::Image&& img) noexcept {
    if (img.pixels.capacity() == 0) return;
    image::Image released;  // freed outside the lock
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<image::Image>& images = idle();
        if (images.size() < kIdleLimit) {
            try {
                images.push_back(std::move(img));
                return;
            } catch (...) {
                return;  // no room to remember it: img releases it
            }
        }
        auto smallest = std::min_element(images.begin(), images.end(), [](auto const& a, auto const& b) {
            return a.pixels.capacity() < b.pixels.capacity();
        });
        if (smallest->pixels.capacity() < img.pixels.capacity()) std::swap(*smallest, img);
        released = std::move(img);
    }
}

void clear() noexcept {
    std::vector<image::Image> released;
    std::lock_guard<std::mutex> lock(mutex);
    released.swap(idle());
}

std::size_t idleCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return idle().size();
}

std::size_t idleBytes() {
    std::lock_guard<std::mutex> lock(mutex);
    std::size_t bytes = 0;
    for (image::Image const& img : idle()) bytes += img.pixels.capacity() * sizeof(image::Pixel);
    return bytes;
}

}  // namespace raydrift::frame_buffers
