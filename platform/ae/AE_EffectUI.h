// Custom user interface: registration and the events a custom control receives.
#pragma once

#include "AE_Effect.h"

enum : A_long {
    PF_CustomEFlag_NONE = 0,
    PF_CustomEFlag_COMP = 1L << 0,
    PF_CustomEFlag_LAYER = 1L << 1,
    PF_CustomEFlag_EFFECT = 1L << 2,
    PF_CustomEFlag_PREVIEW = 1L << 3,
};

typedef struct PF_CustomUIInfo {
    A_long events;
    A_long comp_ui_width;
    A_long comp_ui_height;
    A_long comp_ui_alignment;
    A_long layer_ui_width;
    A_long layer_ui_height;
    A_long layer_ui_alignment;
    A_long preview_ui_width;
    A_long preview_ui_height;
    A_long preview_ui_alignment;
} PF_CustomUIInfo;

typedef A_long PF_EventType;
enum : A_long {
    PF_Event_NEW_CONTEXT = 0,
    PF_Event_ACTIVATE = 1,
    PF_Event_DO_CLICK = 2,
    PF_Event_DRAG = 3,
    PF_Event_DRAW = 4,
    PF_Event_DEACTIVATE = 5,
    PF_Event_CLOSE_CONTEXT = 6,
    PF_Event_IDLE = 7,
    PF_Event_ADJUST_CURSOR = 8,
    PF_Event_KEYDOWN = 9,
    PF_Event_MOUSE_EXITED = 10,
};

typedef A_long PF_WindowType;
enum : A_long {
    PF_Window_NONE = -1,
    PF_Window_COMP = 0,
    PF_Window_LAYER = 1,
    PF_Window_EFFECT = 2,
    PF_Window_PREVIEW = 3,
};

typedef A_long PF_EffectArea;
enum : A_long {
    PF_EA_NONE = 0,
    PF_EA_PARAM_TITLE = 1,
    PF_EA_CONTROL = 2,
};

typedef A_long PF_EventOutFlags;
enum : A_long {
    PF_EO_NONE = 0,
    PF_EO_HANDLED_EVENT = 1L << 0,
    PF_EO_ALWAYS_UPDATE = 1L << 1,
    PF_EO_NEVER_UPDATE = 1L << 2,
    PF_EO_UPDATE_NOW = 1L << 3,
};

typedef A_long PF_CursorType;
enum : A_long {
    PF_Cursor_NONE = 0,
    PF_Cursor_CUSTOM = 1,
    PF_Cursor_ARROW = 2,
    PF_Cursor_RESIZE_HORIZONTAL = 22,
};

typedef struct {
    PF_ParamIndex index;
    PF_EffectArea area;
    PF_UnionableRect current_frame;
    PF_UnionableRect param_title_frame;
    A_long horiz_offset;
} PF_EffectWindowInfo;

typedef struct PF_Context {
    A_u_long magic;
    PF_WindowType w_type;
    A_long reserved_flt;
    A_long reserved_flt2;
    void* reserved_drawref;
    void* reserved_paneref;
    void* reserved_ptr;  // free for the effect's own per-context state
} PF_Context, *PF_ContextH_;
typedef PF_Context** PF_ContextH;

// The custom UI's asynchronous render manager (one per context, owned by the host).
typedef struct _PF_AsyncManager* PF_AsyncManagerP;

typedef struct {
    PF_Point screen_point;
    A_long modifiers;
    A_long send_drag;
    A_long continue_refcon[4];
    A_long last_time;
} PF_Mouse;

typedef struct {
    PF_Point screen_point;
    A_long modifiers;
    PF_CursorType set_cursor;
} PF_AdjustCursorEventInfo;

typedef union {
    PF_Mouse do_click;
    PF_Mouse drag;
    PF_AdjustCursorEventInfo adjust_cursor;
    A_long draw_reserved;
} PF_EventUnion;

typedef struct {
    PF_ContextH contextH;
    PF_EventType e_type;
    PF_EventUnion u;
    PF_EffectWindowInfo effect_win;
    void* cbs;
    PF_EventOutFlags evt_out_flags;
} PF_EventExtra;
