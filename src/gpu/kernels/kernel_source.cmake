# The kernel source as the string the plug-in carries: the five pieces in order, with
# the engine's arithmetic headers pasted in. The same files compile as C++ into the
# software Metal device (kernel_library.cpp). Included by src/gpu/CMakeLists.txt, so the
# generated file belongs to that folder's targets.
set(RAYDRIFT_KERNEL_PIECES params.metal spatial.metal color.metal host_params.metal host.metal)
set(RAYDRIFT_KERNEL_HEADERS
  ${PROJECT_SOURCE_DIR}/src/image/pixel_math.h ${PROJECT_SOURCE_DIR}/src/image/color_math.h
  ${PROJECT_SOURCE_DIR}/src/image/blend_math.h ${PROJECT_SOURCE_DIR}/src/image/streak_math.h
  ${CMAKE_CURRENT_LIST_DIR}/scalar_math.h ${CMAKE_CURRENT_LIST_DIR}/device_math.h)
list(TRANSFORM RAYDRIFT_KERNEL_PIECES PREPEND ${CMAKE_CURRENT_LIST_DIR}/ OUTPUT_VARIABLE kernel_files)
set(kernel_source_cpp ${CMAKE_CURRENT_BINARY_DIR}/kernels/kernel_source.cpp)
add_custom_command(
  OUTPUT ${kernel_source_cpp}
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}/src -DOUTPUT=${kernel_source_cpp}
          "-DPIECES=${RAYDRIFT_KERNEL_PIECES}" -P ${CMAKE_CURRENT_LIST_DIR}/embed_kernels.cmake
  DEPENDS ${kernel_files} ${RAYDRIFT_KERNEL_HEADERS} ${CMAKE_CURRENT_LIST_DIR}/embed_kernels.cmake
  COMMENT "Embedding the Metal kernel source" VERBATIM)
set(RAYDRIFT_KERNEL_SOURCE_CPP ${kernel_source_cpp})

# The two HLSL sources of the Direct3D back end, each a compile of its own (the streak
# kernels, the frame kernels), embedded the same way; the expanded texts are also written
# to kernels/hlsl/ in the build tree, where scripts/check-hlsl compiles every entry point.
set(RAYDRIFT_HLSL_PIECES streaks.hlsl frame.hlsl)
list(TRANSFORM RAYDRIFT_HLSL_PIECES PREPEND ${CMAKE_CURRENT_LIST_DIR}/ OUTPUT_VARIABLE hlsl_files)
set(hlsl_source_cpp ${CMAKE_CURRENT_BINARY_DIR}/kernels/hlsl_source.cpp)
add_custom_command(
  OUTPUT ${hlsl_source_cpp}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/kernels/hlsl
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}/src -DOUTPUT=${hlsl_source_cpp}
          "-DPIECES=${RAYDRIFT_HLSL_PIECES}" -DHEADER=gpu/kernels/hlsl_source.h
          -DNAMESPACE=raydrift::d3d11 -DARRAY=kHlslSources -DSEPARATE=ON
          -DTEXT_DIR=${CMAKE_CURRENT_BINARY_DIR}/kernels/hlsl -P ${CMAKE_CURRENT_LIST_DIR}/embed_kernels.cmake
  DEPENDS ${hlsl_files} ${CMAKE_CURRENT_LIST_DIR}/hlsl_common.hlsl ${CMAKE_CURRENT_LIST_DIR}/params.metal
          ${RAYDRIFT_KERNEL_HEADERS} ${CMAKE_CURRENT_LIST_DIR}/embed_kernels.cmake
  COMMENT "Embedding the HLSL kernel sources" VERBATIM)
set(RAYDRIFT_HLSL_SOURCE_CPP ${hlsl_source_cpp})

# The CUDA and OpenCL kernels: one text, embedded for OpenCL's run-time compile and, when
# nvcc is found, built to PTX for the oldest architecture it offers (newer GPUs JIT it),
# without contraction and with correctly rounded division and square root.
set(RAYDRIFT_NATIVE_PIECES native_prelude.cl params.metal host_params.metal native.cl)
list(TRANSFORM RAYDRIFT_NATIVE_PIECES PREPEND ${CMAKE_CURRENT_LIST_DIR}/ OUTPUT_VARIABLE native_files)
set(native_source_cpp ${CMAKE_CURRENT_BINARY_DIR}/kernels/native_source.cpp)
set(native_source_text ${CMAKE_CURRENT_BINARY_DIR}/kernels/native_kernels.cu)
add_custom_command(
  OUTPUT ${native_source_cpp} ${native_source_text}
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}/src -DOUTPUT=${native_source_cpp}
          -DARRAY=kNativePieces -DHEADER=gpu/kernels/native_source.h -DTEXT=${native_source_text}
          "-DPIECES=native_prelude.cl;params.metal;host_params.metal;native.cl"
          -P ${CMAKE_CURRENT_LIST_DIR}/embed_kernels.cmake
  DEPENDS ${native_files} ${RAYDRIFT_KERNEL_HEADERS} ${CMAKE_CURRENT_LIST_DIR}/embed_kernels.cmake
  COMMENT "Embedding the CUDA and OpenCL kernel source" VERBATIM)

find_program(RAYDRIFT_NVCC nvcc HINTS /usr/local/cuda/bin)
set(native_ptx_cpp ${CMAKE_CURRENT_BINARY_DIR}/kernels/native_ptx.cpp)
set(ptx_arguments "")
set(ptx_depends "")
if(RAYDRIFT_NVCC)
  execute_process(COMMAND ${RAYDRIFT_NVCC} --list-gpu-arch OUTPUT_VARIABLE nvcc_arches
                  RESULT_VARIABLE nvcc_result ERROR_QUIET)
  string(REGEX MATCHALL "compute_[0-9]+" nvcc_arches "${nvcc_arches}")
  if(nvcc_result EQUAL 0 AND nvcc_arches)
    list(GET nvcc_arches 0 oldest_arch)
    set(native_ptx ${CMAKE_CURRENT_BINARY_DIR}/kernels/native_kernels.ptx)
    add_custom_command(
      OUTPUT ${native_ptx}
      COMMAND ${RAYDRIFT_NVCC} -ptx -arch=${oldest_arch} --fmad=false -prec-div=true -prec-sqrt=true
              -ftz=false -diag-suppress 177 -DSM_CPU_FMA=$<BOOL:${RAYDRIFT_CPU_FMA}> -o ${native_ptx} ${native_source_text}
      DEPENDS ${native_source_text}
      COMMENT "Building the CUDA kernels (${oldest_arch} PTX)" VERBATIM)
    set(ptx_arguments -DPTX=${native_ptx})
    set(ptx_depends ${native_ptx})
    message(STATUS "CUDA kernels: ${RAYDRIFT_NVCC}, ${oldest_arch}")
  endif()
endif()
add_custom_command(
  OUTPUT ${native_ptx_cpp}
  COMMAND ${CMAKE_COMMAND} ${ptx_arguments} -DOUTPUT=${native_ptx_cpp} -P ${CMAKE_CURRENT_LIST_DIR}/embed_ptx.cmake
  DEPENDS ${ptx_depends} ${CMAKE_CURRENT_LIST_DIR}/embed_ptx.cmake
  COMMENT "Embedding the CUDA kernels" VERBATIM)
set(RAYDRIFT_NATIVE_SOURCE_CPP ${native_source_cpp} ${native_ptx_cpp})
