# The OPCGroup object's data path.
#   veltrane_group_tests    : in process, against a fake group of an outside server (state
#                             members, I/O arguments and results, subscriptions, the data
#                             callback sink and the events it raises, detached groups)
#   veltrane_group_sim_tests: against SimServer out of process (DA 2.0 subscriptions to ramps,
#                             async calls and their completions, sync I/O on registers)
if(TESSAREL_WINDOWS)
  tessarel_add_test(veltrane_group_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/group/GroupObjectTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/group/GroupDataTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/group/GroupDa10Test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/group/FakeGroup.cpp
            ${CMAKE_CURRENT_LIST_DIR}/group/FakeGroup10.cpp
    LIBS veltrane_core TIMEOUT 120)

  tessarel_add_test(veltrane_group_sim_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/group/GroupSimTest.cpp
    LIBS veltrane_core TIMEOUT 300)
  add_dependencies(veltrane_group_sim_tests SimServer OpcProxy OpcEnum)
endif()

# The DA 1.0 stream reader natively, under the sanitizers, with a bounded mutation run.
if(TESSAREL_NATIVE AND TARGET veltrane_portable)
  tessarel_add_test(veltrane_stream_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/group/OpcStreamTest.cpp
    LIBS veltrane_portable TIMEOUT 120)
endif()
