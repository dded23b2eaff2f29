// The host's general plug-in (AEGP) interface as an effect uses it: registering as an
// AEGP, reaching the effect's own layer, and rendering the layer upstream of the effect
// through the custom UI's asynchronous render manager.
#pragma once

#include "AE_Effect.h"
#include "AE_EffectUI.h"

typedef A_long AEGP_PluginID;
typedef void* AEGP_GlobalRefcon;

// Opaque host objects; each New/Get that returns one says who disposes of it.
typedef struct _AEGP_EffectRefH* AEGP_EffectRefH;
typedef struct _AEGP_LayerH* AEGP_LayerH;
typedef struct _AEGP_LayerRenderOptionsH* AEGP_LayerRenderOptionsH;
typedef struct _AEGP_FrameReceiptH* AEGP_FrameReceiptH;
typedef struct _AEGP_WorldH* AEGP_WorldH;

typedef A_long AEGP_WorldType;
enum : A_long {
    AEGP_WorldType_NONE = 0,
    AEGP_WorldType_8 = 1,
    AEGP_WorldType_16 = 2,
    AEGP_WorldType_32 = 3,
};

#define kAEGPUtilitySuite "AEGP Utility Suite"
#define kAEGPUtilitySuiteVersion7 7

typedef struct AEGP_UtilitySuite7 {
    // Makes the caller an AEGP; the identifier names it in every AEGP call after.
    A_Err (*AEGP_RegisterWithAEGP)(AEGP_GlobalRefcon global_refcon, const A_char* plugin_name,
                                   AEGP_PluginID* plugin_id);
} AEGP_UtilitySuite7;

#define kAEGPEffectSuite "AEGP Effect Suite"
#define kAEGPEffectSuiteVersion3 3

typedef struct AEGP_EffectSuite3 {
    A_Err (*AEGP_DisposeEffect)(AEGP_EffectRefH effectH);
} AEGP_EffectSuite3;

#define kAEGPPFInterfaceSuite "AEGP PF Interface Suite"
#define kAEGPPFInterfaceSuiteVersion1 1

typedef struct AEGP_PFInterfaceSuite1 {
    A_Err (*AEGP_GetEffectLayer)(PF_ProgPtr effect_ref, AEGP_LayerH* layerPH);
    // The caller disposes of the effect handle (AEGP Effect Suite).
    A_Err (*AEGP_GetNewEffectForEffect)(AEGP_PluginID aegp_plugin_id, PF_ProgPtr effect_ref,
                                        AEGP_EffectRefH* effectPH);
} AEGP_PFInterfaceSuite1;

#define kAEGPLayerRenderOptionsSuite "AEGP Layer Render Options Suite"
#define kAEGPLayerRenderOptionsSuiteVersion1 1

typedef struct AEGP_LayerRenderOptionsSuite1 {
    // Options that render the effect's layer with the effects above this one only; the
    // caller disposes of them.
    A_Err (*AEGP_NewFromUpstreamOfEffect)(AEGP_PluginID plugin_id, AEGP_EffectRefH effect_ref,
                                          AEGP_LayerRenderOptionsH* optionsPH);
    A_Err (*AEGP_SetTime)(AEGP_LayerRenderOptionsH optionsH, A_Time time);
    A_Err (*AEGP_GetTime)(AEGP_LayerRenderOptionsH optionsH, A_Time* timeP);
    A_Err (*AEGP_SetDownsampleFactor)(AEGP_LayerRenderOptionsH optionsH, A_short x, A_short y);
    A_Err (*AEGP_GetDownsampleFactor)(AEGP_LayerRenderOptionsH optionsH, A_short* xP, A_short* yP);
    A_Err (*AEGP_Dispose)(AEGP_LayerRenderOptionsH optionsH);
} AEGP_LayerRenderOptionsSuite1;

// The host's spelling.
#define kAEGPRenderAsyncManagerSuite "AEGP Render Asyc Manager Suite"
#define kAEGPRenderAsyncManagerSuiteVersion1 1

typedef struct AEGP_RenderAsyncManagerSuite1 {
    // A finished frame in *receiptPH, or null while the render is still under way (the
    // host sends another draw event when it finishes). The caller checks a frame in.
    A_Err (*AEGP_CheckoutOrRender_LayerFrame_AsyncManager)(PF_AsyncManagerP async_managerP,
                                                          A_u_long purpose_id,
                                                          AEGP_LayerRenderOptionsH optionsH,
                                                          AEGP_FrameReceiptH* receiptPH);
} AEGP_RenderAsyncManagerSuite1;

#define kAEGPRenderSuite "AEGP Render Suite"
#define kAEGPRenderSuiteVersion5 5

typedef struct AEGP_RenderSuite5 {
    A_Err (*AEGP_CheckinFrame)(AEGP_FrameReceiptH receiptH);
    // The receipt's world; it lives until the frame is checked in.
    A_Err (*AEGP_GetReceiptWorld)(AEGP_FrameReceiptH receiptH, AEGP_WorldH* worldPH);
} AEGP_RenderSuite5;

#define kAEGPWorldSuite "AEGP World Suite"
#define kAEGPWorldSuiteVersion3 3

typedef struct AEGP_WorldSuite3 {
    A_Err (*AEGP_GetType)(AEGP_WorldH worldH, AEGP_WorldType* typeP);
    A_Err (*AEGP_GetSize)(AEGP_WorldH worldH, A_long* widthPL, A_long* heightPL);
    // An effect world describing the same pixels (not a copy).
    A_Err (*AEGP_FillOutPFEffectWorld)(AEGP_WorldH worldH, PF_EffectWorld* pf_worldP);
} AEGP_WorldSuite3;
