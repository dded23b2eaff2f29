// The version of the effect API this plug-in is written against.
#pragma once

#define PF_PLUG_IN_VERSION 13
#define PF_PLUG_IN_SUBVERS 29
