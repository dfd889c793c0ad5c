# The OPCGroup object's data path.
#   veltrane_group_tests    : in process, against a fake group of an outside server (state
#                             members, I/O arguments and results, the data callback sink and
#                             the events it raises, detached groups)
#   veltrane_group_sim_tests: against SimServer out of process (subscriptions, sync and async I/O)
if(TESSAREL_WINDOWS)
  tessarel_add_test(veltrane_group_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/group/GroupObjectTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/group/FakeGroup.cpp
    LIBS veltrane_core TIMEOUT 120)
endif()
