// The host's 2-D drawing interface (Drawbot): a drawing reference hands out a supplier,
// which makes pens, brushes, paths, fonts and images, and a surface, which paints with
// them. Every object the supplier makes is released through ReleaseObject.
#pragma once

#include "A.h"

#define kDRAWBOT_DrawSuite "DRAWBOT Draw Suite"
#define kDRAWBOT_DrawSuite_Version1 1
#define kDRAWBOT_SupplierSuite "DRAWBOT Supplier Suite"
#define kDRAWBOT_SupplierSuite_Version1 1
#define kDRAWBOT_SurfaceSuite "DRAWBOT Surface Suite"
#define kDRAWBOT_SurfaceSuite_Version2 2
#define kDRAWBOT_PathSuite "DRAWBOT Path Suite"
#define kDRAWBOT_PathSuite_Version1 1

typedef struct _DRAWBOT_DrawRef* DRAWBOT_DrawRef;
typedef struct _DRAWBOT_ObjectRef* DRAWBOT_ObjectRef;
typedef struct _DRAWBOT_SupplierRef* DRAWBOT_SupplierRef;
typedef struct _DRAWBOT_SurfaceRef* DRAWBOT_SurfaceRef;
typedef struct _DRAWBOT_PenRef* DRAWBOT_PenRef;
typedef struct _DRAWBOT_BrushRef* DRAWBOT_BrushRef;
typedef struct _DRAWBOT_PathRef* DRAWBOT_PathRef;
typedef struct _DRAWBOT_FontRef* DRAWBOT_FontRef;
typedef struct _DRAWBOT_ImageRef* DRAWBOT_ImageRef;

typedef A_u_short DRAWBOT_UTF16Char;

typedef struct {
    float red, green, blue, alpha;
} DRAWBOT_ColorRGBA;

typedef struct {
    float x, y;
} DRAWBOT_PointF32;

typedef struct {
    float left, top, width, height;
} DRAWBOT_RectF32;

typedef struct {
    A_long left, top, width, height;
} DRAWBOT_Rect32;

// Affine map: x' = mat[0][0]·x + mat[1][0]·y + mat[2][0], y' = mat[0][1]·x + mat[1][1]·y + mat[2][1].
typedef struct {
    float mat[3][3];
} DRAWBOT_MatrixF32;

typedef A_long DRAWBOT_FillType;
enum : A_long {
    kDRAWBOT_FillType_EvenOdd = 0,
    kDRAWBOT_FillType_Winding = 1,
    kDRAWBOT_FillType_Default = kDRAWBOT_FillType_Winding,
};

typedef A_long DRAWBOT_PixelLayout;
enum : A_long {
    kDRAWBOT_PixelLayout_24RGB = 0,
    kDRAWBOT_PixelLayout_24BGR = 1,
    kDRAWBOT_PixelLayout_32RGB = 2,
    kDRAWBOT_PixelLayout_32BGR = 3,
    kDRAWBOT_PixelLayout_32ARGB_Straight = 4,
    kDRAWBOT_PixelLayout_32ARGB_Premul = 5,
    kDRAWBOT_PixelLayout_32BGRA_Straight = 6,
    kDRAWBOT_PixelLayout_32BGRA_Premul = 7,
};

typedef A_long DRAWBOT_TextAlignment;
enum : A_long {
    kDRAWBOT_TextAlignment_Left = 0,
    kDRAWBOT_TextAlignment_Center = 1,
    kDRAWBOT_TextAlignment_Right = 2,
    kDRAWBOT_TextAlignment_Default = kDRAWBOT_TextAlignment_Left,
};

typedef A_long DRAWBOT_TextTruncation;
enum : A_long {
    kDRAWBOT_TextTruncation_None = 0,
    kDRAWBOT_TextTruncation_EndEllipsis = 1,
    kDRAWBOT_TextTruncation_PathEllipsis = 2,
};

typedef struct DRAWBOT_DrawbotSuite1 {
    A_Err (*GetSupplier)(DRAWBOT_DrawRef in_drawbot_ref, DRAWBOT_SupplierRef* out_supplierP);
    A_Err (*GetSurface)(DRAWBOT_DrawRef in_drawbot_ref, DRAWBOT_SurfaceRef* out_surfaceP);
} DRAWBOT_DrawbotSuite1;

typedef struct DRAWBOT_SupplierSuite1 {
    A_Err (*NewPen)(DRAWBOT_SupplierRef in_supplier_ref, const DRAWBOT_ColorRGBA* in_colorP,
                    float in_size, DRAWBOT_PenRef* out_penP);
    A_Err (*NewBrush)(DRAWBOT_SupplierRef in_supplier_ref, const DRAWBOT_ColorRGBA* in_colorP,
                      DRAWBOT_BrushRef* out_brushP);
    A_Err (*SupportsText)(DRAWBOT_SupplierRef in_supplier_ref, A_Boolean* out_supports_textB);
    A_Err (*GetDefaultFontSize)(DRAWBOT_SupplierRef in_supplier_ref, float* out_font_sizeF);
    A_Err (*NewDefaultFont)(DRAWBOT_SupplierRef in_supplier_ref, float in_font_sizeF,
                            DRAWBOT_FontRef* out_fontP);
    A_Err (*NewImageFromBuffer)(DRAWBOT_SupplierRef in_supplier_ref, int in_width, int in_height,
                                int in_row_bytes, DRAWBOT_PixelLayout in_pl, const void* in_dataP,
                                DRAWBOT_ImageRef* out_imageP);
    A_Err (*NewPath)(DRAWBOT_SupplierRef in_supplier_ref, DRAWBOT_PathRef* out_pathP);
    A_Err (*SupportsPixelLayoutBGRA)(DRAWBOT_SupplierRef in_supplier_ref, A_Boolean* out_supportsB);
    A_Err (*PrefersPixelLayoutBGRA)(DRAWBOT_SupplierRef in_supplier_ref, A_Boolean* out_prefersB);
    A_Err (*SupportsPixelLayoutARGB)(DRAWBOT_SupplierRef in_supplier_ref, A_Boolean* out_supportsB);
    A_Err (*PrefersPixelLayoutARGB)(DRAWBOT_SupplierRef in_supplier_ref, A_Boolean* out_prefersB);
    A_Err (*RetainObject)(DRAWBOT_ObjectRef in_obj_ref);
    A_Err (*ReleaseObject)(DRAWBOT_ObjectRef in_obj_ref);
} DRAWBOT_SupplierSuite1;

typedef struct DRAWBOT_SurfaceSuite2 {
    A_Err (*PushStateStack)(DRAWBOT_SurfaceRef in_surface_ref);
    A_Err (*PopStateStack)(DRAWBOT_SurfaceRef in_surface_ref);
    A_Err (*PaintRect)(DRAWBOT_SurfaceRef in_surface_ref, const DRAWBOT_ColorRGBA* in_colorP,
                       const DRAWBOT_RectF32* in_rectPR);
    A_Err (*FillPath)(DRAWBOT_SurfaceRef in_surface_ref, DRAWBOT_BrushRef in_brush_ref,
                      DRAWBOT_PathRef in_path_ref, DRAWBOT_FillType in_fill_type);
    A_Err (*StrokePath)(DRAWBOT_SurfaceRef in_surface_ref, DRAWBOT_PenRef in_pen_ref,
                        DRAWBOT_PathRef in_path_ref);
    A_Err (*Clip)(DRAWBOT_SurfaceRef in_surface_ref, DRAWBOT_SupplierRef in_supplier_ref,
                  const DRAWBOT_Rect32* in_rectPR);
    A_Err (*GetClipBounds)(DRAWBOT_SurfaceRef in_surface_ref, DRAWBOT_Rect32* out_rectPR);
    A_Err (*IsRectEmpty)(DRAWBOT_SurfaceRef in_surface_ref, const DRAWBOT_RectF32* in_rectPR,
                         A_Boolean* out_is_emptyB);
    A_Err (*Transform)(DRAWBOT_SurfaceRef in_surface_ref, const DRAWBOT_MatrixF32* in_matrixP);
    A_Err (*DrawString)(DRAWBOT_SurfaceRef in_surface_ref, DRAWBOT_BrushRef in_brush_ref,
                        DRAWBOT_FontRef in_font_ref, const DRAWBOT_UTF16Char* in_stringP,
                        const DRAWBOT_PointF32* in_originP, DRAWBOT_TextAlignment in_alignment_style,
                        DRAWBOT_TextTruncation in_truncation_style, float in_truncation_width);
    A_Err (*DrawImage)(DRAWBOT_SurfaceRef in_surface_ref, DRAWBOT_ImageRef in_image_ref,
                       const DRAWBOT_PointF32* in_originP, float in_alpha);
    A_Err (*Flush)(DRAWBOT_SurfaceRef in_surface_ref);
} DRAWBOT_SurfaceSuite2;

typedef struct DRAWBOT_PathSuite1 {
    A_Err (*MoveTo)(DRAWBOT_PathRef in_path_ref, float in_x, float in_y);
    A_Err (*LineTo)(DRAWBOT_PathRef in_path_ref, float in_x, float in_y);
    A_Err (*BezierTo)(DRAWBOT_PathRef in_path_ref, const DRAWBOT_PointF32* in_pt1P,
                      const DRAWBOT_PointF32* in_pt2P, const DRAWBOT_PointF32* in_pt3P);
    A_Err (*AddRect)(DRAWBOT_PathRef in_path_ref, const DRAWBOT_RectF32* in_rectPR);
    // Angles in degrees, clockwise on screen (y grows downwards).
    A_Err (*AddArc)(DRAWBOT_PathRef in_path_ref, const DRAWBOT_PointF32* in_centerP, float in_radius,
                    float in_start_angle, float in_sweep);
    A_Err (*Close)(DRAWBOT_PathRef in_path_ref);
} DRAWBOT_PathSuite1;
