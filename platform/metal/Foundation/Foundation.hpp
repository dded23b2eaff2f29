// Our declarations of the Foundation objects the Metal code touches, named after Apple's
// C++ binding: reference-counted objects, strings, errors, the autorelease pool. Only what
// the plug-in calls is declared. A macOS build replaces this folder with the real binding.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace NS {

using UInteger = std::uintptr_t;
using Integer = std::intptr_t;

enum StringEncoding : UInteger { UTF8StringEncoding = 4 };

// Manual reference counting: a new object holds one reference; release() at zero frees it.
// autorelease() hands one reference to the innermost AutoreleasePool of the thread.
class Object {
public:
    Object* retain();
    void release();
    Object* autorelease();
    UInteger retainCount() const;

protected:
    Object();
    virtual ~Object();

private:
    Object(Object const&) = delete;
    Object& operator=(Object const&) = delete;
    std::atomic<UInteger> count_;
};

class String : public Object {
public:
    // An autoreleased string holding a copy of the UTF-8 text.
    static String* string(const char* text, StringEncoding encoding);
    const char* utf8String() const;

    explicit String(std::string text);

private:
    std::string text_;
};

class Error : public Object {
public:
    // An autoreleased error with the given description.
    static Error* error(const char* description);
    String* localizedDescription() const;

    explicit Error(std::string description);
    ~Error() override;

private:
    String* description_;
};

class Number : public Object {
public:
    static Number* number(int value);
    int intValue() const;

    explicit Number(int value);

private:
    int value_;
};

// A dictionary of one entry: the compile options' preprocessor macros need no more.
class Dictionary : public Object {
public:
    static Dictionary* dictionary(Object* object, Object* key);
    Object* object(Object* key) const;
    Object* key() const;

    Dictionary(Object* object, Object* key);
    ~Dictionary() override;

private:
    Object* object_;
    Object* key_;
};

// Objects autoreleased on this thread while the pool is innermost are released when the
// pool is released.
class AutoreleasePool : public Object {
public:
    static AutoreleasePool* alloc();
    AutoreleasePool* init();
    void drain();

    AutoreleasePool();
    ~AutoreleasePool() override;
};

}  // namespace NS
