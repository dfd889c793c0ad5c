# Value conversions, argument rules, IEnumVARIANT, the node rule and the server list.
#   native : the portable rules (ProgID order, local-node names, date milliseconds)
#   windows: veltrane_conversion_tests (arguments, arrays, conversions, enumerator, in process),
#            veltrane_server_list_tests (ServerEnumerator over a test registry tree and a fake
#            server list service through a fake NodeServices; the platform's node services),
#            veltrane_server_list_live_tests (against OpcEnum and SimServer as registered by
#            scripts/register)
if(TESSAREL_NATIVE AND TARGET veltrane_portable)
  tessarel_add_test(veltrane_portable_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/PortableTest.cpp
    LIBS veltrane_portable)
endif()

if(TESSAREL_WINDOWS)
  tessarel_add_test(veltrane_conversion_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ArgumentsTest.cpp ${CMAKE_CURRENT_LIST_DIR}/ConversionTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/EnumVariantTest.cpp
    LIBS veltrane_core TIMEOUT 120)
  # A zone half an hour off whole hours, so the local-time conversion is really exercised
  # (Wine takes each process's zone from TZ).
  set_property(TEST veltrane_conversion_tests APPEND PROPERTY ENVIRONMENT "TZ=Asia/Kolkata")
  tessarel_add_test(veltrane_server_list_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ServerEnumeratorTest.cpp
    LIBS veltrane_core TIMEOUT 300)
  tessarel_add_test(veltrane_server_list_live_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ServerListLiveTest.cpp
    LIBS veltrane_core TIMEOUT 180)
  add_dependencies(veltrane_server_list_live_tests OpcEnum SimServer OpcProxy)
endif()
