// Stand-in declarations of the run-time HLSL compiler (see d3d11.h).
#pragma once

#include "d3d11.h"

#define D3DCOMPILE_IEEE_STRICTNESS (1u << 13)
#define D3DCOMPILE_OPTIMIZATION_LEVEL3 (1u << 15)

struct D3D_SHADER_MACRO;
struct ID3DInclude;
struct ID3DBlob : IUnknown {
    virtual void* GetBufferPointer() = 0;
    virtual SIZE_T GetBufferSize() = 0;
};

HRESULT D3DCompile(LPCVOID source, SIZE_T size, LPCSTR name, D3D_SHADER_MACRO const* macros, ID3DInclude* include,
                   LPCSTR entry, LPCSTR target, UINT flags1, UINT flags2, ID3DBlob** code, ID3DBlob** errors);
