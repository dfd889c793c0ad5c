# The OPCServer object and its OPCGroups face.
#   veltrane_server_tests: in process, against fakes of an outside server and of the node seam
#                          (interfaces missing, failing calls, remote nodes, exact arguments)
#   veltrane_sim_tests   : against SimServer out of process (both personalities), through
#                          OpcProxy.dll and OpcEnum as scripts/register registers them, early
#                          bound through the standard IIDs and vtable; with Veltrane.dll
#                          registered, also the object made through CoCreateInstance
if(TESSAREL_WINDOWS)
  tessarel_add_test(veltrane_server_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/server/ServerObjectTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/server/FakeOpcServer.cpp
    LIBS veltrane_core TIMEOUT 120)

  tessarel_add_test(veltrane_sim_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/server/SimServerTest.cpp
    LIBS veltrane_core TIMEOUT 300)
  add_dependencies(veltrane_sim_tests SimServer OpcProxy OpcEnum)
  target_include_directories(veltrane_sim_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})  # SimServerProcess.h
  if(TARGET Veltrane)
    add_dependencies(veltrane_sim_tests Veltrane)
  endif()
endif()
