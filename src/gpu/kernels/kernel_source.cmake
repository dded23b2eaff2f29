# The kernel source as the string the plug-in carries: the five pieces in order, with
# the engine's arithmetic headers pasted in. The same files compile as C++ into the
# software Metal device (kernel_library.cpp). Included by src/gpu/CMakeLists.txt, so the
# generated file belongs to that folder's targets.
set(RAYDRIFT_KERNEL_PIECES params.metal spatial.metal color.metal host_params.metal host.metal)
set(RAYDRIFT_KERNEL_HEADERS
  ${PROJECT_SOURCE_DIR}/src/image/pixel_math.h ${PROJECT_SOURCE_DIR}/src/image/color_math.h
  ${PROJECT_SOURCE_DIR}/src/image/blend_math.h ${PROJECT_SOURCE_DIR}/src/image/streak_math.h)
list(TRANSFORM RAYDRIFT_KERNEL_PIECES PREPEND ${CMAKE_CURRENT_LIST_DIR}/ OUTPUT_VARIABLE kernel_files)
set(kernel_source_cpp ${CMAKE_CURRENT_BINARY_DIR}/kernels/kernel_source.cpp)
add_custom_command(
  OUTPUT ${kernel_source_cpp}
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}/src -DOUTPUT=${kernel_source_cpp}
          "-DPIECES=${RAYDRIFT_KERNEL_PIECES}" -P ${CMAKE_CURRENT_LIST_DIR}/embed_kernels.cmake
  DEPENDS ${kernel_files} ${RAYDRIFT_KERNEL_HEADERS} ${CMAKE_CURRENT_LIST_DIR}/embed_kernels.cmake
  COMMENT "Embedding the Metal kernel source" VERBATIM)
set(RAYDRIFT_KERNEL_SOURCE_CPP ${kernel_source_cpp})
