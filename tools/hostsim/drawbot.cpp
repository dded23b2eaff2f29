// The Drawbot suites drawn with Cairo: what the plug-in paints lands in an image the
// tests and the command line can look at, and every call is recorded as it was made.
#include "drawbot.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

namespace hostsim::detail {

enum class Kind { Draw, Supplier, Surface, Pen, Brush, Path, Font, Image };

struct DrawObject {
    Kind kind;
    Canvas* canvas;
    int refs = 1;
    float colour[4] = {0, 0, 0, 0};  // pen, brush
    float size = 0.0f;                // pen width, font size
    std::vector<PathElement> path;
    cairo_surface_t* image = nullptr;
    int imageWidth = 0, imageHeight = 0;

    DrawObject(Kind k, Canvas* c) : kind(k), canvas(c) {}
    ~DrawObject() {
        if (image) cairo_surface_destroy(image);
    }
};

namespace {

// Every object handed out, so that a stale or foreign reference is refused rather
// than followed.
std::mutex gObjectsMutex;
std::set<DrawObject const*> gObjects;

void registerObject(DrawObject const* o) {
    std::lock_guard<std::mutex> lock(gObjectsMutex);
    gObjects.insert(o);
}
void unregisterObject(DrawObject const* o) {
    std::lock_guard<std::mutex> lock(gObjectsMutex);
    gObjects.erase(o);
}

template <typename Ref>
DrawObject* objectOf(Ref ref, Kind kind) {
    auto* o = reinterpret_cast<DrawObject*>(ref);
    std::lock_guard<std::mutex> lock(gObjectsMutex);
    if (!o || !gObjects.count(o) || o->kind != kind) return nullptr;
    return o;
}

constexpr A_Err kBad = PF_Err_BAD_CALLBACK_PARAM;

template <typename Ref>
A_Err make(DrawObject* owner, Kind kind, Ref* out, DrawObject** made = nullptr) {
    if (!out) return kBad;
    auto* o = new DrawObject(kind, owner->canvas);
    registerObject(o);
    owner->canvas->adopt(o);
    *out = reinterpret_cast<Ref>(o);
    if (made) *made = o;
    return A_Err_NONE;
}

void setColour(float out[4], DRAWBOT_ColorRGBA const& c) {
    out[0] = c.red, out[1] = c.green, out[2] = c.blue, out[3] = c.alpha;
}

void tracePath(cairo_t* cr, std::vector<PathElement> const& path) {
    constexpr double kDegrees = 3.14159265358979323846 / 180.0;
    cairo_new_path(cr);
    for (PathElement const& e : path) {
        switch (e.kind) {
        case PathElement::Kind::MoveTo: cairo_move_to(cr, e.v[0], e.v[1]); break;
        case PathElement::Kind::LineTo: cairo_line_to(cr, e.v[0], e.v[1]); break;
        case PathElement::Kind::BezierTo: cairo_curve_to(cr, e.v[0], e.v[1], e.v[2], e.v[3], e.v[4], e.v[5]); break;
        case PathElement::Kind::Rect: cairo_rectangle(cr, e.v[0], e.v[1], e.v[2], e.v[3]); break;
        case PathElement::Kind::Arc: {
            const double a0 = e.v[3] * kDegrees, a1 = (e.v[3] + e.v[4]) * kDegrees;
            if (e.v[4] >= 0.0f)
                cairo_arc(cr, e.v[0], e.v[1], e.v[2], a0, a1);
            else
                cairo_arc_negative(cr, e.v[0], e.v[1], e.v[2], a0, a1);
            break;
        }
        case PathElement::Kind::Close: cairo_close_path(cr); break;
        }
    }
}

std::string utf8(const DRAWBOT_UTF16Char* text, std::u16string& wide) {
    if (!text) return {};
    for (std::size_t n = 0; text[n] && n < 4096; ++n) wide.push_back(static_cast<char16_t>(text[n]));
    return hostsim::utf8(wide);
}

}  // namespace

// --- Canvas --------------------------------------------------------------------------

Canvas::Canvas(PF_Rect frame, double scale) {
    const double s = scale > 0.0 ? scale : 1.0;
    const int w = std::max(1, static_cast<int>(std::lround(std::max(frame.right - frame.left, 0) * s)));
    const int h = std::max(1, static_cast<int>(std::lround(std::max(frame.bottom - frame.top, 0) * s)));
    surface_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cr_ = cairo_create(surface_);
    cairo_scale(cr_, s, s);
    cairo_translate(cr_, -frame.left, -frame.top);
    draw_ = std::make_unique<DrawObject>(Kind::Draw, this);
    supplier_ = std::make_unique<DrawObject>(Kind::Supplier, this);
    surfaceRef_ = std::make_unique<DrawObject>(Kind::Surface, this);
    for (DrawObject* o : {draw_.get(), supplier_.get(), surfaceRef_.get()}) registerObject(o);
}

Canvas::~Canvas() {
    for (DrawObject* o : objects_) {
        unregisterObject(o);
        delete o;
    }
    for (DrawObject* o : {draw_.get(), supplier_.get(), surfaceRef_.get()}) unregisterObject(o);
    cairo_destroy(cr_);
    cairo_surface_destroy(surface_);
}

DRAWBOT_DrawRef Canvas::drawRef() { return reinterpret_cast<DRAWBOT_DrawRef>(draw_.get()); }
int Canvas::width() const { return cairo_image_surface_get_width(surface_); }
int Canvas::height() const { return cairo_image_surface_get_height(surface_); }

void Canvas::pixel(int x, int y, float rgba[4]) const {
    rgba[0] = rgba[1] = rgba[2] = rgba[3] = 0.0f;
    if (x < 0 || y < 0 || x >= width() || y >= height()) return;
    cairo_surface_flush(surface_);
    unsigned char const* row = cairo_image_surface_get_data(surface_) + y * cairo_image_surface_get_stride(surface_);
    std::uint32_t v;
    std::memcpy(&v, row + 4 * x, 4);
    const float a = static_cast<float>((v >> 24) & 0xff) / 255.0f;
    const float r = static_cast<float>((v >> 16) & 0xff) / 255.0f;
    const float g = static_cast<float>((v >> 8) & 0xff) / 255.0f;
    const float b = static_cast<float>(v & 0xff) / 255.0f;
    rgba[3] = a;
    if (a > 0.0f) rgba[0] = r / a, rgba[1] = g / a, rgba[2] = b / a;
}

bool Canvas::writePng(std::string const& path) const {
    cairo_surface_flush(surface_);
    return cairo_surface_write_to_png(surface_, path.c_str()) == CAIRO_STATUS_SUCCESS;
}

// --- Suites --------------------------------------------------------------------------

namespace {

DrawObject* drawOf(DRAWBOT_DrawRef ref) { return objectOf(ref, Kind::Draw); }
DrawObject* supplierOf(DRAWBOT_SupplierRef ref) { return objectOf(ref, Kind::Supplier); }
DrawObject* surfaceOf(DRAWBOT_SurfaceRef ref) { return objectOf(ref, Kind::Surface); }
DrawObject* pathOf(DRAWBOT_PathRef ref) { return objectOf(ref, Kind::Path); }

DrawObject* anyObject(DRAWBOT_ObjectRef ref) {
    auto* o = reinterpret_cast<DrawObject*>(ref);
    std::lock_guard<std::mutex> lock(gObjectsMutex);
    return o && gObjects.count(o) ? o : nullptr;
}

A_Err pathAdd(DRAWBOT_PathRef ref, PathElement::Kind kind, std::initializer_list<float> values) {
    DrawObject* p = pathOf(ref);
    if (!p) return kBad;
    PathElement e;
    e.kind = kind;
    int i = 0;
    for (float v : values) e.v[i++] = v;
    p->path.push_back(e);
    return A_Err_NONE;
}

// The channel offsets (red, green, blue, alpha; -1 none) and bytes of a pixel layout.
struct Layout {
    int r, g, b, a, bytes;
    bool premultiplied;
};
bool layoutOf(DRAWBOT_PixelLayout pl, Layout& out) {
    switch (pl) {
    case kDRAWBOT_PixelLayout_24RGB: out = {0, 1, 2, -1, 3, true}; return true;
    case kDRAWBOT_PixelLayout_24BGR: out = {2, 1, 0, -1, 3, true}; return true;
    case kDRAWBOT_PixelLayout_32RGB: out = {1, 2, 3, -1, 4, true}; return true;
    case kDRAWBOT_PixelLayout_32BGR: out = {2, 1, 0, -1, 4, true}; return true;
    case kDRAWBOT_PixelLayout_32ARGB_Straight: out = {1, 2, 3, 0, 4, false}; return true;
    case kDRAWBOT_PixelLayout_32ARGB_Premul: out = {1, 2, 3, 0, 4, true}; return true;
    case kDRAWBOT_PixelLayout_32BGRA_Straight: out = {2, 1, 0, 3, 4, false}; return true;
    case kDRAWBOT_PixelLayout_32BGRA_Premul: out = {2, 1, 0, 3, 4, true}; return true;
    default: return false;
    }
}

A_Err newImage(DRAWBOT_SupplierRef ref, int w, int h, int rowBytes, DRAWBOT_PixelLayout pl, const void* data,
               DRAWBOT_ImageRef* out) {
    DrawObject* s = supplierOf(ref);
    Layout layout;
    if (!s || !out || !data || w < 1 || h < 1 || w > 16384 || h > 16384 || !layoutOf(pl, layout) ||
        rowBytes < w * layout.bytes)
        return kBad;
    DrawObject* o = nullptr;
    make(s, Kind::Image, out, &o);
    o->image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    o->imageWidth = w, o->imageHeight = h;
    unsigned char* dst = cairo_image_surface_get_data(o->image);
    const int stride = cairo_image_surface_get_stride(o->image);
    for (int y = 0; y < h; ++y) {
        auto const* src = static_cast<unsigned char const*>(data) + static_cast<std::ptrdiff_t>(y) * rowBytes;
        for (int x = 0; x < w; ++x) {
            unsigned char const* p = src + x * layout.bytes;
            const unsigned a = layout.a >= 0 ? p[layout.a] : 255u;
            unsigned r = p[layout.r], g = p[layout.g], b = p[layout.b];
            if (!layout.premultiplied) r = (r * a + 127) / 255, g = (g * a + 127) / 255, b = (b * a + 127) / 255;
            const std::uint32_t v = (a << 24) | (std::min(r, a) << 16) | (std::min(g, a) << 8) | std::min(b, a);
            std::memcpy(dst + y * stride + 4 * x, &v, 4);
        }
    }
    cairo_surface_mark_dirty(o->image);
    return A_Err_NONE;
}

const DRAWBOT_DrawbotSuite1 kDrawbot = {
    [](DRAWBOT_DrawRef ref, DRAWBOT_SupplierRef* out) -> A_Err {
        DrawObject* d = drawOf(ref);
        if (!d || !out) return kBad;
        *out = reinterpret_cast<DRAWBOT_SupplierRef>(d->canvas->supplierObject());
        return A_Err_NONE;
    },
    [](DRAWBOT_DrawRef ref, DRAWBOT_SurfaceRef* out) -> A_Err {
        DrawObject* d = drawOf(ref);
        if (!d || !out) return kBad;
        *out = reinterpret_cast<DRAWBOT_SurfaceRef>(d->canvas->surfaceObject());
        return A_Err_NONE;
    },
};

const DRAWBOT_SupplierSuite1 kSupplier = {
    [](DRAWBOT_SupplierRef ref, const DRAWBOT_ColorRGBA* colour, float size, DRAWBOT_PenRef* out) -> A_Err {
        DrawObject* s = supplierOf(ref);
        if (!s || !colour || !out || !(size >= 0.0f)) return kBad;
        DrawObject* o = nullptr;
        make(s, Kind::Pen, out, &o);
        setColour(o->colour, *colour);
        o->size = size;
        return A_Err_NONE;
    },
    [](DRAWBOT_SupplierRef ref, const DRAWBOT_ColorRGBA* colour, DRAWBOT_BrushRef* out) -> A_Err {
        DrawObject* s = supplierOf(ref);
        if (!s || !colour || !out) return kBad;
        DrawObject* o = nullptr;
        make(s, Kind::Brush, out, &o);
        setColour(o->colour, *colour);
        return A_Err_NONE;
    },
    [](DRAWBOT_SupplierRef ref, A_Boolean* out) -> A_Err {
        if (!supplierOf(ref) || !out) return kBad;
        *out = 1;
        return A_Err_NONE;
    },
    [](DRAWBOT_SupplierRef ref, float* out) -> A_Err {
        if (!supplierOf(ref) || !out) return kBad;
        *out = 12.0f;
        return A_Err_NONE;
    },
    [](DRAWBOT_SupplierRef ref, float size, DRAWBOT_FontRef* out) -> A_Err {
        DrawObject* s = supplierOf(ref);
        if (!s || !out || !(size > 0.0f)) return kBad;
        DrawObject* o = nullptr;
        make(s, Kind::Font, out, &o);
        o->size = size;
        return A_Err_NONE;
    },
    newImage,
    [](DRAWBOT_SupplierRef ref, DRAWBOT_PathRef* out) -> A_Err {
        DrawObject* s = supplierOf(ref);
        if (!s || !out) return kBad;
        return make(s, Kind::Path, out);
    },
    [](DRAWBOT_SupplierRef ref, A_Boolean* out) -> A_Err {
        if (!supplierOf(ref) || !out) return kBad;
        *out = 1;
        return A_Err_NONE;
    },
    [](DRAWBOT_SupplierRef ref, A_Boolean* out) -> A_Err {
        if (!supplierOf(ref) || !out) return kBad;
        *out = 1;  // Cairo's own layout on a little-endian machine
        return A_Err_NONE;
    },
    [](DRAWBOT_SupplierRef ref, A_Boolean* out) -> A_Err {
        if (!supplierOf(ref) || !out) return kBad;
        *out = 1;
        return A_Err_NONE;
    },
    [](DRAWBOT_SupplierRef ref, A_Boolean* out) -> A_Err {
        if (!supplierOf(ref) || !out) return kBad;
        *out = 0;
        return A_Err_NONE;
    },
    [](DRAWBOT_ObjectRef ref) -> A_Err {
        DrawObject* o = anyObject(ref);
        if (!o || o->kind == Kind::Draw || o->kind == Kind::Supplier || o->kind == Kind::Surface) return kBad;
        ++o->refs;
        return A_Err_NONE;
    },
    [](DRAWBOT_ObjectRef ref) -> A_Err {
        DrawObject* o = anyObject(ref);
        // The drawing reference, supplier and surface are the host's, never released.
        if (!o || o->kind == Kind::Draw || o->kind == Kind::Supplier || o->kind == Kind::Surface) return kBad;
        if (--o->refs > 0) return A_Err_NONE;
        unregisterObject(o);
        o->canvas->forget(o);
        delete o;
        return A_Err_NONE;
    },
};

A_Err paintRect(DRAWBOT_SurfaceRef ref, const DRAWBOT_ColorRGBA* colour, const DRAWBOT_RectF32* rect) {
    DrawObject* s = surfaceOf(ref);
    if (!s || !colour || !rect) return kBad;
    cairo_t* cr = s->canvas->cairo();
    cairo_new_path(cr);
    cairo_rectangle(cr, rect->left, rect->top, rect->width, rect->height);
    cairo_set_source_rgba(cr, colour->red, colour->green, colour->blue, colour->alpha);
    cairo_fill(cr);
    DrawCall call;
    call.op = DrawCall::Op::PaintRect;
    setColour(call.colour, *colour);
    call.rect[0] = rect->left, call.rect[1] = rect->top, call.rect[2] = rect->width, call.rect[3] = rect->height;
    s->canvas->record(std::move(call));
    return A_Err_NONE;
}

A_Err fillPath(DRAWBOT_SurfaceRef ref, DRAWBOT_BrushRef brushRef, DRAWBOT_PathRef pathRef, DRAWBOT_FillType fill) {
    DrawObject* s = surfaceOf(ref);
    DrawObject* brush = objectOf(brushRef, Kind::Brush);
    DrawObject* path = pathOf(pathRef);
    if (!s || !brush || !path) return kBad;
    if (fill != kDRAWBOT_FillType_EvenOdd && fill != kDRAWBOT_FillType_Winding) return kBad;
    cairo_t* cr = s->canvas->cairo();
    tracePath(cr, path->path);
    cairo_set_fill_rule(cr, fill == kDRAWBOT_FillType_Winding ? CAIRO_FILL_RULE_WINDING : CAIRO_FILL_RULE_EVEN_ODD);
    cairo_set_source_rgba(cr, brush->colour[0], brush->colour[1], brush->colour[2], brush->colour[3]);
    cairo_fill(cr);
    DrawCall call;
    call.op = DrawCall::Op::FillPath;
    std::copy(brush->colour, brush->colour + 4, call.colour);
    call.fillType = fill;
    call.path = path->path;
    s->canvas->record(std::move(call));
    return A_Err_NONE;
}

A_Err strokePath(DRAWBOT_SurfaceRef ref, DRAWBOT_PenRef penRef, DRAWBOT_PathRef pathRef) {
    DrawObject* s = surfaceOf(ref);
    DrawObject* pen = objectOf(penRef, Kind::Pen);
    DrawObject* path = pathOf(pathRef);
    if (!s || !pen || !path) return kBad;
    cairo_t* cr = s->canvas->cairo();
    tracePath(cr, path->path);
    cairo_set_line_width(cr, pen->size);
    cairo_set_source_rgba(cr, pen->colour[0], pen->colour[1], pen->colour[2], pen->colour[3]);
    cairo_stroke(cr);
    DrawCall call;
    call.op = DrawCall::Op::StrokePath;
    std::copy(pen->colour, pen->colour + 4, call.colour);
    call.penWidth = pen->size;
    call.path = path->path;
    s->canvas->record(std::move(call));
    return A_Err_NONE;
}

A_Err drawString(DRAWBOT_SurfaceRef ref, DRAWBOT_BrushRef brushRef, DRAWBOT_FontRef fontRef,
                 const DRAWBOT_UTF16Char* text, const DRAWBOT_PointF32* origin, DRAWBOT_TextAlignment alignment,
                 DRAWBOT_TextTruncation, float truncationWidth) {
    DrawObject* s = surfaceOf(ref);
    DrawObject* brush = objectOf(brushRef, Kind::Brush);
    DrawObject* font = objectOf(fontRef, Kind::Font);
    if (!s || !brush || !font || !text || !origin) return kBad;
    DrawCall call;
    call.op = DrawCall::Op::DrawString;
    const std::string bytes = utf8(text, call.text);
    cairo_t* cr = s->canvas->cairo();
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, font->size);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, bytes.c_str(), &extents);
    double x = origin->x;
    if (alignment == kDRAWBOT_TextAlignment_Center) x -= extents.x_advance / 2.0;
    if (alignment == kDRAWBOT_TextAlignment_Right) x -= extents.x_advance;
    cairo_new_path(cr);
    cairo_move_to(cr, x, origin->y);
    cairo_set_source_rgba(cr, brush->colour[0], brush->colour[1], brush->colour[2], brush->colour[3]);
    cairo_show_text(cr, bytes.c_str());
    std::copy(brush->colour, brush->colour + 4, call.colour);
    call.origin[0] = origin->x, call.origin[1] = origin->y;
    call.fontSize = font->size;
    call.alignment = alignment;
    call.rect[2] = truncationWidth;
    s->canvas->record(std::move(call));
    return A_Err_NONE;
}

A_Err drawImage(DRAWBOT_SurfaceRef ref, DRAWBOT_ImageRef imageRef, const DRAWBOT_PointF32* origin, float alpha) {
    DrawObject* s = surfaceOf(ref);
    DrawObject* image = objectOf(imageRef, Kind::Image);
    if (!s || !image || !origin) return kBad;
    cairo_t* cr = s->canvas->cairo();
    cairo_set_source_surface(cr, image->image, origin->x, origin->y);
    cairo_paint_with_alpha(cr, std::clamp(alpha, 0.0f, 1.0f));
    DrawCall call;
    call.op = DrawCall::Op::DrawImage;
    call.rect[0] = origin->x, call.rect[1] = origin->y;
    call.rect[2] = static_cast<float>(image->imageWidth), call.rect[3] = static_cast<float>(image->imageHeight);
    call.alpha = alpha;
    s->canvas->record(std::move(call));
    return A_Err_NONE;
}

const DRAWBOT_SurfaceSuite2 kSurface = {
    [](DRAWBOT_SurfaceRef ref) -> A_Err {
        DrawObject* s = surfaceOf(ref);
        if (!s) return kBad;
        cairo_save(s->canvas->cairo());
        ++s->canvas->stateDepth;
        DrawCall call;
        call.op = DrawCall::Op::PushState;
        s->canvas->record(std::move(call));
        return A_Err_NONE;
    },
    [](DRAWBOT_SurfaceRef ref) -> A_Err {
        DrawObject* s = surfaceOf(ref);
        if (!s || s->canvas->stateDepth <= 0) return kBad;
        cairo_restore(s->canvas->cairo());
        --s->canvas->stateDepth;
        DrawCall call;
        call.op = DrawCall::Op::PopState;
        s->canvas->record(std::move(call));
        return A_Err_NONE;
    },
    paintRect,
    fillPath,
    strokePath,
    [](DRAWBOT_SurfaceRef ref, DRAWBOT_SupplierRef, const DRAWBOT_Rect32* rect) -> A_Err {
        DrawObject* s = surfaceOf(ref);
        if (!s || !rect) return kBad;
        cairo_t* cr = s->canvas->cairo();
        cairo_new_path(cr);
        cairo_rectangle(cr, rect->left, rect->top, rect->width, rect->height);
        cairo_clip(cr);
        DrawCall call;
        call.op = DrawCall::Op::Clip;
        call.rect[0] = static_cast<float>(rect->left), call.rect[1] = static_cast<float>(rect->top);
        call.rect[2] = static_cast<float>(rect->width), call.rect[3] = static_cast<float>(rect->height);
        s->canvas->record(std::move(call));
        return A_Err_NONE;
    },
    [](DRAWBOT_SurfaceRef ref, DRAWBOT_Rect32* out) -> A_Err {
        DrawObject* s = surfaceOf(ref);
        if (!s || !out) return kBad;
        double x0, y0, x1, y1;
        cairo_clip_extents(s->canvas->cairo(), &x0, &y0, &x1, &y1);
        *out = DRAWBOT_Rect32{static_cast<A_long>(std::floor(x0)), static_cast<A_long>(std::floor(y0)),
                              static_cast<A_long>(std::ceil(x1 - x0)), static_cast<A_long>(std::ceil(y1 - y0))};
        return A_Err_NONE;
    },
    [](DRAWBOT_SurfaceRef ref, const DRAWBOT_RectF32* rect, A_Boolean* out) -> A_Err {
        if (!surfaceOf(ref) || !rect || !out) return kBad;
        *out = !(rect->width > 0.0f && rect->height > 0.0f);
        return A_Err_NONE;
    },
    [](DRAWBOT_SurfaceRef ref, const DRAWBOT_MatrixF32* m) -> A_Err {
        DrawObject* s = surfaceOf(ref);
        if (!s || !m) return kBad;
        cairo_matrix_t matrix;
        cairo_matrix_init(&matrix, m->mat[0][0], m->mat[0][1], m->mat[1][0], m->mat[1][1], m->mat[2][0],
                          m->mat[2][1]);
        cairo_transform(s->canvas->cairo(), &matrix);
        DrawCall call;
        call.op = DrawCall::Op::Transform;
        s->canvas->record(std::move(call));
        return A_Err_NONE;
    },
    drawString,
    drawImage,
    [](DRAWBOT_SurfaceRef ref) -> A_Err {
        DrawObject* s = surfaceOf(ref);
        if (!s) return kBad;
        DrawCall call;
        call.op = DrawCall::Op::Flush;
        s->canvas->record(std::move(call));
        return A_Err_NONE;
    },
};

const DRAWBOT_PathSuite1 kPath = {
    [](DRAWBOT_PathRef ref, float x, float y) { return pathAdd(ref, PathElement::Kind::MoveTo, {x, y}); },
    [](DRAWBOT_PathRef ref, float x, float y) { return pathAdd(ref, PathElement::Kind::LineTo, {x, y}); },
    [](DRAWBOT_PathRef ref, const DRAWBOT_PointF32* a, const DRAWBOT_PointF32* b,
       const DRAWBOT_PointF32* c) -> A_Err {
        if (!a || !b || !c) return kBad;
        return pathAdd(ref, PathElement::Kind::BezierTo, {a->x, a->y, b->x, b->y, c->x, c->y});
    },
    [](DRAWBOT_PathRef ref, const DRAWBOT_RectF32* r) -> A_Err {
        if (!r) return kBad;
        return pathAdd(ref, PathElement::Kind::Rect, {r->left, r->top, r->width, r->height});
    },
    [](DRAWBOT_PathRef ref, const DRAWBOT_PointF32* centre, float radius, float start, float sweep) -> A_Err {
        if (!centre || !(radius >= 0.0f)) return kBad;
        return pathAdd(ref, PathElement::Kind::Arc, {centre->x, centre->y, radius, start, sweep});
    },
    [](DRAWBOT_PathRef ref) { return pathAdd(ref, PathElement::Kind::Close, {}); },
};

}  // namespace

const DRAWBOT_DrawbotSuite1* drawbotSuite() { return &kDrawbot; }
const DRAWBOT_SupplierSuite1* supplierSuite() { return &kSupplier; }
const DRAWBOT_SurfaceSuite2* surfaceSuite() { return &kSurface; }
const DRAWBOT_PathSuite1* pathSuite() { return &kPath; }

}  // namespace hostsim::detail
