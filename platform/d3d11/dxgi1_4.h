// Stand-in declarations of the DXGI calls behind the memory budget (see d3d11.h).
#pragma once

#include "d3d11.h"

enum DXGI_MEMORY_SEGMENT_GROUP { DXGI_MEMORY_SEGMENT_GROUP_LOCAL = 0 };
struct DXGI_QUERY_VIDEO_MEMORY_INFO {
    UINT64 Budget;
    UINT64 CurrentUsage;
    UINT64 AvailableForReservation;
    UINT64 CurrentReservation;
};
struct IDXGIAdapter : IUnknown {};
struct IDXGIAdapter3 : IDXGIAdapter {
    virtual HRESULT QueryVideoMemoryInfo(UINT node, DXGI_MEMORY_SEGMENT_GROUP group,
                                         DXGI_QUERY_VIDEO_MEMORY_INFO* info) = 0;
};
struct IDXGIDevice : IUnknown {
    virtual HRESULT GetAdapter(IDXGIAdapter** adapter) = 0;
};
