# OPCItems and OPCItem.
#   veltrane_items_tests    : in process, against a fake server whose groups manage items
#                             (definitions and handles sent, argument rules, per-item errors,
#                             detached items)
#   veltrane_items_sim_tests: against SimServer out of process (both personalities)
if(TESSAREL_WINDOWS)
  tessarel_add_test(veltrane_items_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/items/ItemsTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/items/FakeItemMgt.cpp
            ${CMAKE_CURRENT_LIST_DIR}/server/FakeOpcServer.cpp
    LIBS veltrane_core TIMEOUT 120)
  target_include_directories(veltrane_items_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/server)
endif()

if(TESSAREL_WINDOWS)
  tessarel_add_test(veltrane_items_sim_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/items/ItemsSimTest.cpp
    LIBS veltrane_core TIMEOUT 300)
  add_dependencies(veltrane_items_sim_tests SimServer OpcProxy OpcEnum)
endif()

# Items from VBScript, the way script users work (Veltrane, SimServer, OpcProxy registered).
if(TESSAREL_WINDOWS AND TARGET Veltrane)
  string(REPLACE "/" "\\" veltrane_items_vbs "Z:${CMAKE_CURRENT_LIST_DIR}/items/items_script.vbs")
  add_test(NAME veltrane_items_vbscript
    COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} cscript //nologo ${veltrane_items_vbs})
  set_tests_properties(veltrane_items_vbscript PROPERTIES TIMEOUT 180
    PASS_REGULAR_EXPRESSION "items_script: all passed" FAIL_REGULAR_EXPRESSION "FAIL:")
endif()
