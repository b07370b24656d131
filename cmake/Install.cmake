# Install rules for the deliverables whose own folders have none: the emulated platform's host
# (streamhost) and the nvx kernel object it loads (streamhost ctl modload <libdir>/nvx/nvx.so).
# libnvxapi with its headers and pkg-config file, and nvxpush, install from their folders.
include(GNUInstallDirs)
install(TARGETS streamhost RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS nvx LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/nvx)
