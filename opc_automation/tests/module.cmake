# Veltrane as a COM server: registration, the class objects, the module count and IDispatch.
if(TESSAREL_WINDOWS AND TARGET Veltrane)
  set(module_tests ${CMAKE_CURRENT_LIST_DIR}/module)

  # The library built without its TYPELIB resource, for the .tlb found beside the file.
  add_library(VeltraneNoTypeLib SHARED ${CMAKE_CURRENT_SOURCE_DIR}/src/Dll.cpp
    ${module_tests}/NoTypeLib.def ${module_tests}/NoTypeLib.rc)
  target_link_libraries(VeltraneNoTypeLib PRIVATE veltrane_core)
  set_target_properties(VeltraneNoTypeLib PROPERTIES PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/notypelib)

  # Registration and class objects through the built DLL's exports; IDispatch and the module
  # in this process (veltrane_core). Registers and unregisters in the prefix, so it runs alone.
  tessarel_add_test(veltrane_module_tests
    SOURCES ${module_tests}/ModuleTestSupport.cpp ${module_tests}/RegistrationTest.cpp
            ${module_tests}/FactoryTest.cpp ${module_tests}/DispatchTest.cpp
            ${module_tests}/ModuleTest.cpp
    LIBS veltrane_core)
  target_compile_definitions(veltrane_module_tests PRIVATE
    VELTRANE_NO_TYPELIB_DLL="$<TARGET_FILE:VeltraneNoTypeLib>"
    VELTRANE_TLB="${CMAKE_CURRENT_BINARY_DIR}/OPCAutomation.tlb")
  add_dependencies(veltrane_module_tests Veltrane VeltraneNoTypeLib)
  set_tests_properties(veltrane_module_tests PROPERTIES RUN_SERIAL TRUE)
endif()

if(TESSAREL_NATIVE AND TARGET veltrane_portable)
  tessarel_add_test(veltrane_module_paths_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/module/ModulePathsTest.cpp
    LIBS veltrane_portable)
endif()
