# The WorkbookServer program (winelib tree): engine + DDE service + automation + window.
tessarel_widl(wbs_idl_files IDL ${CMAKE_CURRENT_SOURCE_DIR}/automation/WorkbookServer.idl
  NAME WorkbookServer HEADER IID TLB)
add_executable(WorkbookServer
  main.cpp
  dde/DdeServer.cpp
  dde/DdeRequests.cpp
  automation/Automation.cpp
  ui/SheetWindow.cpp
  ${CMAKE_CURRENT_BINARY_DIR}/WorkbookServer_i.c
  ${CMAKE_CURRENT_BINARY_DIR}/WorkbookServer.h)
set_target_properties(WorkbookServer PROPERTIES SUFFIX ".exe")
target_include_directories(WorkbookServer PRIVATE
  ${CMAKE_CURRENT_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/dde ${CMAKE_CURRENT_SOURCE_DIR}/automation
  ${CMAKE_CURRENT_SOURCE_DIR}/ui)
# Our DDEML's announcement message, when that component is present.
if(EXISTS ${CMAKE_SOURCE_DIR}/standins/ddeml/include/ddeml_ours/ServiceAnnounce.h)
  target_include_directories(WorkbookServer PRIVATE ${CMAKE_SOURCE_DIR}/standins/ddeml/include)
endif()
target_link_libraries(WorkbookServer PRIVATE workbook_engine common comctl32 ole32 oleaut32 uuid user32 gdi32 dl)
# The type library lies beside the program; /regserver registers it from there.
add_custom_command(TARGET WorkbookServer POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_CURRENT_BINARY_DIR}/WorkbookServer.tlb
          $<TARGET_FILE_DIR:WorkbookServer>/WorkbookServer.tlb)
add_custom_target(WorkbookServer_tlb DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/WorkbookServer.tlb)
add_dependencies(WorkbookServer WorkbookServer_tlb)
tessarel_register(WorkbookServer WINELIB_EXE)
