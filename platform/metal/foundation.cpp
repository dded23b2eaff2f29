#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include "Foundation/Foundation.hpp"
#include "Metal/Metal.hpp"
#include "metal_seam.h"

namespace {

std::atomic<std::int64_t> gLive{0};
std::atomic<std::int64_t> gOverReleases{0};
std::atomic<std::int64_t> gOrphans{0};

struct PoolFrame {
    NS::AutoreleasePool* pool;
    std::vector<NS::Object*> objects;
};
thread_local std::vector<PoolFrame> tPools;

std::mutex gDefaultMutex;
MTL::Device* gDefault = nullptr;

}  // namespace

namespace NS {

Object::Object() : count_(1) { gLive.fetch_add(1, std::memory_order_relaxed); }
Object::~Object() { gLive.fetch_sub(1, std::memory_order_relaxed); }

Object* Object::retain() {
    count_.fetch_add(1, std::memory_order_relaxed);
    return this;
}

void Object::release() {
    UInteger seen = count_.load(std::memory_order_relaxed);
    do {
        if (seen == 0) {
            // The object is already gone in a real runtime; count the fault instead of
            // touching freed memory twice.
            gOverReleases.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    } while (!count_.compare_exchange_weak(seen, seen - 1, std::memory_order_acq_rel));
    if (seen == 1) delete this;
}

Object* Object::autorelease() {
    if (tPools.empty()) {
        gOrphans.fetch_add(1, std::memory_order_relaxed);
        return this;
    }
    tPools.back().objects.push_back(this);
    return this;
}

UInteger Object::retainCount() const { return count_.load(std::memory_order_relaxed); }

String::String(std::string text) : text_(std::move(text)) {}
String* String::string(const char* text, StringEncoding) {
    return static_cast<String*>((new String(text != nullptr ? text : ""))->autorelease());
}
const char* String::utf8String() const { return text_.c_str(); }

Error::Error(std::string description) : description_(new String(std::move(description))) {}
Error::~Error() { description_->release(); }
Error* Error::error(const char* description) {
    return static_cast<Error*>((new Error(description != nullptr ? description : ""))->autorelease());
}
String* Error::localizedDescription() const { return description_; }

Number::Number(int value) : value_(value) {}
Number* Number::number(int value) { return static_cast<Number*>((new Number(value))->autorelease()); }
int Number::intValue() const { return value_; }

Dictionary::Dictionary(Object* object, Object* key) : object_(object), key_(key) {
    if (object_ != nullptr) object_->retain();
    if (key_ != nullptr) key_->retain();
}
Dictionary::~Dictionary() {
    if (object_ != nullptr) object_->release();
    if (key_ != nullptr) key_->release();
}
Dictionary* Dictionary::dictionary(Object* object, Object* key) {
    return static_cast<Dictionary*>((new Dictionary(object, key))->autorelease());
}
Object* Dictionary::object(Object* key) const { return key == key_ ? object_ : nullptr; }
Object* Dictionary::key() const { return key_; }

AutoreleasePool::AutoreleasePool() = default;
AutoreleasePool::~AutoreleasePool() { drain(); }
AutoreleasePool* AutoreleasePool::alloc() { return new AutoreleasePool(); }
AutoreleasePool* AutoreleasePool::init() {
    tPools.push_back(PoolFrame{this, {}});
    return this;
}

void AutoreleasePool::drain() {
    for (std::size_t i = tPools.size(); i-- > 0;) {
        if (tPools[i].pool != this) continue;
        // Pools nest: an inner pool left open is drained with its parent.
        while (tPools.size() > i) {
            std::vector<Object*> objects = std::move(tPools.back().objects);
            tPools.pop_back();
            for (Object* object : objects) object->release();
        }
        return;
    }
}

}  // namespace NS

namespace MTL {

CompileOptions::CompileOptions() = default;
CompileOptions::~CompileOptions() {
    if (macros_ != nullptr) macros_->release();
}
CompileOptions* CompileOptions::alloc() { return new CompileOptions(); }
CompileOptions* CompileOptions::init() { return this; }
void CompileOptions::setPreprocessorMacros(NS::Dictionary* macros) {
    if (macros != nullptr) macros->retain();
    if (macros_ != nullptr) macros_->release();
    macros_ = macros;
}
NS::Dictionary* CompileOptions::preprocessorMacros() const { return macros_; }
void CompileOptions::setLanguageVersion(LanguageVersion version) { version_ = version; }
LanguageVersion CompileOptions::languageVersion() const { return version_; }
void CompileOptions::setFastMathEnabled(bool enabled) { fastMath_ = enabled; }
bool CompileOptions::fastMathEnabled() const { return fastMath_; }

Device* CreateSystemDefaultDevice() {
    std::lock_guard<std::mutex> lock(gDefaultMutex);
    if (gDefault != nullptr) gDefault->retain();
    return gDefault;
}

}  // namespace MTL

namespace rdmtl {

void installSystemDefaultDevice(MTL::Device* device) {
    if (device != nullptr) device->retain();
    MTL::Device* previous;
    {
        std::lock_guard<std::mutex> lock(gDefaultMutex);
        previous = std::exchange(gDefault, device);
    }
    if (previous != nullptr) previous->release();
}

std::int64_t liveObjects() { return gLive.load(std::memory_order_relaxed); }
std::int64_t overReleases() { return gOverReleases.load(std::memory_order_relaxed); }
std::int64_t orphanAutoreleases() { return gOrphans.load(std::memory_order_relaxed); }

}  // namespace rdmtl
