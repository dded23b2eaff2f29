// The host application suite: colours and preferences of the host's user interface.
#pragma once

#include "AE_Effect.h"
#include "AE_EffectUI.h"

#define kPFAppSuite "PF AE App Suite"
#define kPFAppSuiteVersion1 1
#define kPFAppSuiteVersion6 6

typedef struct {
    A_u_short red, green, blue;
} PF_App_Color;

typedef A_long PF_App_ColorType;
enum : A_long {
    PF_App_Color_NONE = -1,
    PF_App_Color_FRAME = 0,
    PF_App_Color_FILL = 1,
    PF_App_Color_TEXT = 14,
    PF_App_Color_BUTTON_FILL = 28,
    PF_App_Color_PANEL_BACKGROUND = 54,
};

typedef struct PF_AppSuite1 {
    PF_Err (*PF_AppGetBgColor)(PF_App_Color* bg_colorP);
    PF_Err (*PF_AppGetColor)(PF_App_ColorType color_type, PF_App_Color* app_colorP);
    PF_Err (*PF_AppGetLanguage)(A_char lang_tagZ[4]);
} PF_AppSuite1;

// Version 6 begins with the version-1 entries.
typedef struct PF_AppSuite6 {
    PF_Err (*PF_AppGetBgColor)(PF_App_Color* bg_colorP);
    PF_Err (*PF_AppGetColor)(PF_App_ColorType color_type, PF_App_Color* app_colorP);
    PF_Err (*PF_AppGetLanguage)(A_char lang_tagZ[4]);
    PF_Err (*PF_GetPersonalInfo)(void* ptiP);
    PF_Err (*PF_GetFontStyleSheet)(A_long sheet, void* font_nameP, A_short* font_numPS,
                                   A_short* sizePS, A_short* stylePS);
    PF_Err (*PF_SetCursor)(A_long cursor);
    // Asks the host to redraw `rectP0` of the context (null: all of it).
    PF_Err (*PF_InvalidateRect)(const PF_ContextH contextH, const PF_Rect* rectP0);
} PF_AppSuite6;
