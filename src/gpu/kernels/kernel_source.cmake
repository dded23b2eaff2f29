# The kernel source as the string the plug-in carries: the five pieces in order, with
# the engine's arithmetic headers pasted in. The same files compile as C++ into the
# software Metal device (kernel_library.cpp). Included by src/gpu/CMakeLists.txt, so the
# generated file belongs to that folder's targets.
set(RAYDRIFT_KERNEL_PIECES params.metal spatial.metal color.metal host_params.metal host.metal)
set(RAYDRIFT_KERNEL_HEADERS
  ${PROJECT_SOURCE_DIR}/src/image/pixel_math.h ${PROJECT_SOURCE_DIR}/src/image/color_math.h
  ${PROJECT_SOURCE_DIR}/src/image/blend_math.h ${PROJECT_SOURCE_DIR}/src/image/streak_math.h
  ${CMAKE_CURRENT_LIST_DIR}/device_math.h)
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
