// Inside the simulated host: the drawing back end behind the Drawbot suites. A Canvas
// is one draw event's surface: a Cairo image of the control's frame at a pixel scale,
// and the record of every call the plug-in made on it.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DrawbotSuite.h"
#include "hostsim.h"

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace hostsim::detail {

struct DrawObject;

class Canvas {
public:
    Canvas(PF_Rect frame, double scale);
    ~Canvas();  // frees whatever the plug-in left unreleased
    Canvas(Canvas const&) = delete;
    Canvas& operator=(Canvas const&) = delete;

    DRAWBOT_DrawRef drawRef();
    DrawObject* supplierObject() const { return supplier_.get(); }
    DrawObject* surfaceObject() const { return surfaceRef_.get(); }
    std::vector<DrawCall> const& calls() const { return calls_; }
    int liveObjects() const { return static_cast<int>(objects_.size()); }

    int width() const;
    int height() const;
    void pixel(int x, int y, float rgba[4]) const;
    bool writePng(std::string const& path) const;

    // Used by the suites.
    cairo_t* cairo() const { return cr_; }
    void record(DrawCall call) { calls_.push_back(std::move(call)); }
    void adopt(DrawObject* object) { objects_.insert(object); }
    void forget(DrawObject* object) { objects_.erase(object); }
    int stateDepth = 0;

private:
    cairo_surface_t* surface_ = nullptr;
    cairo_t* cr_ = nullptr;
    std::vector<DrawCall> calls_;
    std::set<DrawObject*> objects_;
    std::unique_ptr<DrawObject> draw_, supplier_, surfaceRef_;
};

const DRAWBOT_DrawbotSuite1* drawbotSuite();
const DRAWBOT_SupplierSuite1* supplierSuite();
const DRAWBOT_SurfaceSuite2* surfaceSuite();
const DRAWBOT_PathSuite1* pathSuite();

}  // namespace hostsim::detail
