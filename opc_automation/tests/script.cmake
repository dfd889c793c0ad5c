# Veltrane driven from VBScript through Wine's cscript, against SimServer (scripts/register
# registers Veltrane, SimServer, OpcEnum and OpcProxy first).
if(TESSAREL_WINDOWS AND TARGET Veltrane)
  string(REPLACE "/" "\\" veltrane_vbs "Z:${CMAKE_CURRENT_LIST_DIR}/veltrane_script.vbs")
  add_test(NAME veltrane_vbscript COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} cscript //nologo ${veltrane_vbs})
  set_tests_properties(veltrane_vbscript PROPERTIES TIMEOUT 180
    PASS_REGULAR_EXPRESSION "veltrane_script: all passed" FAIL_REGULAR_EXPRESSION "FAIL:")
endif()
