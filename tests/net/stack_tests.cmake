# Tests of the NIC drivers and the stack modules through real stream heads; every test also
# checks that it leaves no message block outstanding (nvx_platform_testing).
nvx_add_test(NAME net_nic_test
  SOURCES dltrace_module.cpp nic_dlpi_test.cpp nic_stack_test.cpp
  LIBS nvx_net_stack nvx_platform_testing)
nvx_add_test(NAME net_concurrency_test
  SOURCES dltrace_module.cpp nic_concurrency_test.cpp
  LIBS nvx_net_stack nvx_platform_testing
  LABELS concurrency)
