# The streams framework: queue calls, stream heads, module linkage and loading, DDI devices,
# devmap, and the administrative driver with autopush.
target_sources(nvx_platform_kernel PRIVATE
  streams/queue.cpp
  streams/queue_pair.cpp
  streams/stream_head.cpp
  streams/modctl.cpp
  streams/modules.cpp
  streams/elf_symbols.cpp
  streams/ddi.cpp
  streams/sad.cpp)
target_link_libraries(nvx_platform_kernel PUBLIC ${CMAKE_DL_LIBS})

include(${CMAKE_CURRENT_LIST_DIR}/streams/KernelObject.cmake)

# Platform code and tests include the stream head and loader API as "stream_head.h",
# "modules.h".
target_include_directories(nvx_platform_kernel PUBLIC ${CMAKE_CURRENT_LIST_DIR}/streams)
