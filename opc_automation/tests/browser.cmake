# The OPCBrowser object.
#   veltrane_browser_tests    : in process, against a fake address space (missing enumerator,
#                               failing Next, 100-name batches, the climb limit, bad arrays)
#   veltrane_browser_sim_tests: against SimServer out of process, both personalities (its
#                               branch tree and the 60-level Deep branch), early bound, and late
#                               bound through the registered Veltrane.dll
#   veltrane_browser_vbscript : browsing from VBScript the way script users do
if(TESSAREL_WINDOWS)
  tessarel_add_test(veltrane_browser_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/browser/BrowserObjectTest.cpp
    LIBS veltrane_core TIMEOUT 60)

  tessarel_add_test(veltrane_browser_sim_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/browser/BrowserSimTest.cpp
    LIBS veltrane_core TIMEOUT 300)
  add_dependencies(veltrane_browser_sim_tests SimServer OpcProxy OpcEnum)
  if(TARGET Veltrane)
    add_dependencies(veltrane_browser_sim_tests Veltrane)
    string(REPLACE "/" "\\" veltrane_browser_vbs "Z:${CMAKE_CURRENT_LIST_DIR}/browser/browser_script.vbs")
    add_test(NAME veltrane_browser_vbscript
      COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} cscript //nologo ${veltrane_browser_vbs})
    set_tests_properties(veltrane_browser_vbscript PROPERTIES TIMEOUT 180
      PASS_REGULAR_EXPRESSION "browser_script: all passed" FAIL_REGULAR_EXPRESSION "FAIL:")
  endif()
endif()
