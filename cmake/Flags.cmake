# Compiler flags shared by every target of the tree.

if(NVX_M32)
  add_compile_options(-m32)
  add_link_options(-m32)
endif()

if(NVX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(NVX_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT NVX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "NVX_SANITIZE must be address, thread or empty, not '${NVX_SANITIZE}'")
endif()

# Warnings are errors everywhere in our own code (third-party code is built without this target).
add_library(nvx_warnings INTERFACE)
target_compile_options(nvx_warnings INTERFACE
  -Wall -Wextra -Werror -Wformat=2 -Wformat-security -Wshadow -Wcast-align -Wpointer-arith
  -Wundef -Wvla -Wnull-dereference -Wdouble-promotion
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual>)

# Kernel code (the driver and the shared code compiled into it): no exceptions, no RTTI, no
# static constructors; it sees the platform's kernel headers with _KERNEL defined.
add_library(nvx_kernel_flags INTERFACE)
target_compile_definitions(nvx_kernel_flags INTERFACE _KERNEL)
target_compile_options(nvx_kernel_flags INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
target_link_libraries(nvx_kernel_flags INTERFACE nvx_warnings)

# Adds every direct subfolder of the current folder that has a CMakeLists.txt, in name order.
macro(nvx_add_subfolders)
  file(GLOB _nvx_children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
       ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT _nvx_children)
  foreach(_nvx_child IN LISTS _nvx_children)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${_nvx_child}/CMakeLists.txt)
      add_subdirectory(${_nvx_child})
    endif()
  endforeach()
endmacro()
