// The plug-in's exported entry points are the only symbols it shows the host.
#pragma once

#if defined(_WIN32)
#define RAYDRIFT_EXPORT __declspec(dllexport)
#else
#define RAYDRIFT_EXPORT __attribute__((visibility("default")))
#endif
