// The second host's suites a GPU filter uses besides the device suite: frames ("Premiere
// PPix Suite" 1), parameter values ("MediaCore Video Segment Suite" 9), the time base
// ("Premiere Time Suite" 1) and the application ("MediaCore App Info Suite" 3). Entries
// the plug-in never calls keep their positions as untyped slots. Our own declaration.
#pragma once

#include "PrGPUFilterModule.h"

typedef struct {
    csSDK_int32 top, left, bottom, right;
} prRect;

typedef void (*PrUnusedSuiteEntry)();

#define kPrSDKPPixSuite "Premiere PPix Suite"
#define kPrSDKPPixSuiteVersion1 1

typedef struct {
    prSuiteError (*Dispose)(PPixHand inPPixHand);
    PrUnusedSuiteEntry GetPixels;
    prSuiteError (*GetBounds)(PPixHand inPPixHand, prRect* inoutBoundingBox);
    prSuiteError (*GetRowBytes)(PPixHand inPPixHand, csSDK_int32* outRowBytes);
    PrUnusedSuiteEntry GetPixelAspectRatio;
    prSuiteError (*GetPixelFormat)(PPixHand inPPixHand, csSDK_uint32* outPixelFormat);
    PrUnusedSuiteEntry GetUniqueKey;
    PrUnusedSuiteEntry GetUniqueKeySize;
    PrUnusedSuiteEntry GetRenderTime;
} PrSDKPPixSuite;

#define kPrSDKVideoSegmentSuite "MediaCore Video Segment Suite"
#define kPrSDKVideoSegmentSuiteVersion9 9

typedef struct {
    PrUnusedSuiteEntry unused[17];  // segments, nodes and their properties
    // The value of a node's parameter (the host's numbering: the input layer is not one).
    prSuiteError (*GetParam)(csSDK_int32 inNodeID, csSDK_int32 inIndex, PrTime inTime, PrParam* outParam);
    PrUnusedSuiteEntry GetNextKeyframeTime;
} PrSDKVideoSegmentSuite;

#define kPrSDKTimeSuite "Premiere Time Suite"
#define kPrSDKTimeSuiteVersion1 1

typedef struct {
    prSuiteError (*GetTicksPerSecond)(PrTime* outTicksPerSec);
    PrUnusedSuiteEntry GetTicksPerVideoFrame;
    PrUnusedSuiteEntry GetTicksPerAudioSample;
} PrSDKTimeSuite;

#define kPrSDKAppInfoSuite "MediaCore App Info Suite"
#define kPrSDKAppInfoSuiteVersion3 3

enum : csSDK_int32 { kAppInfo_AppFourCC = 0 };
inline constexpr csSDK_uint32 kAppAfterEffects = 0x46585443u;  // 'FXTC'
inline constexpr csSDK_uint32 kAppPremierePro = 0x50507278u;   // 'PPrx'

typedef struct {
    // Selector kAppInfo_AppFourCC writes the application's code into a 32-bit word.
    prSuiteError (*GetAppInfo)(csSDK_int32 inSelector, void* outAppInfo);
} PrSDKAppInfoSuite;
