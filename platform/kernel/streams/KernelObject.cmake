# Kernel objects and the executables that load them.
#
# nvx_add_kernel_object(NAME name SOURCES ... [LIBS ...])
#   Builds a kernel object: a MODULE library "<name>.so" compiled as kernel code (_KERNEL,
#   nvx_kernel_flags) against the platform's kernel headers. It is not linked against the
#   platform: its platform symbols are resolved at load time from the executable that loads it.
#
# nvx_kernel_host(target)
#   Makes an executable able to load kernel objects: exports its symbols (-rdynamic) and links
#   the whole platform kernel library, so every platform call a kernel object may import is
#   present even when the executable itself does not use it.
set(NVX_KERNEL_INCLUDE_DIR ${CMAKE_CURRENT_LIST_DIR}/../include CACHE INTERNAL "")

function(nvx_add_kernel_object)
  cmake_parse_arguments(K "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_library(${K_NAME} MODULE ${K_SOURCES})
  target_include_directories(${K_NAME} PRIVATE ${NVX_KERNEL_INCLUDE_DIR})
  target_link_libraries(${K_NAME} PRIVATE nvx_kernel_flags ${K_LIBS})
  set_target_properties(${K_NAME} PROPERTIES PREFIX "" SUFFIX ".so")
  # _init and _fini are the module's own entry points: leave out the C runtime's start files,
  # which define symbols of those names (kernel objects have no static constructors anyway).
  target_link_options(${K_NAME} PRIVATE -nostartfiles)
  # They are called by the module loader (modload, modunload), not by the dynamic linker: no
  # DT_INIT/DT_FINI entries (the linker would point them at _init and _fini, which would then
  # run a first time outside any loading context; mod_install would refuse the loader's call).
  # The names given are defined nowhere, so the entries are left out.
  target_link_options(${K_NAME} PRIVATE "LINKER:-init=nvx_kobj_no_dynamic_init"
                      "LINKER:-fini=nvx_kobj_no_dynamic_fini")
  # The object's own calls bind to its own definitions, as a kernel's module loader binds them:
  # names such as tsearch or tdestroy must not be taken from the program that loads the object.
  target_link_options(${K_NAME} PRIVATE "LINKER:-Bsymbolic")
endfunction()

function(nvx_kernel_host target)
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
  add_dependencies(${target} nvx_platform_kernel)
  target_link_options(${target} PRIVATE "LINKER:--whole-archive"
                      "$<TARGET_FILE:nvx_platform_kernel>" "LINKER:--no-whole-archive")
  target_link_libraries(${target} PRIVATE nvx_platform_kernel)
endfunction()
