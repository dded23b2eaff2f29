// The plug-in's exported entry points are the only symbols it shows the host.
#pragma once

#define RAYDRIFT_EXPORT __attribute__((visibility("default")))
