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
  target_include_directories(veltrane_group_sim_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})  # SimServerProcess.h
endif()

# The DA 1.0 stream reader natively, under the sanitizers, with a bounded mutation run; and,
# where Debian's clang is installed, a libFuzzer target run for 20 seconds from a seed corpus in
# the layouts SimServer's DA 1.0 personality writes (new inputs go to the build tree only).
if(TESSAREL_NATIVE AND TARGET veltrane_portable)
  tessarel_add_test(veltrane_stream_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/group/OpcStreamTest.cpp
    LIBS veltrane_portable TIMEOUT 120)

  find_program(VELTRANE_CLANGXX NAMES clang++)
  if(VELTRANE_CLANGXX)
    set(fuzzer ${CMAKE_CURRENT_BINARY_DIR}/stream_fuzzer)
    set(fuzz_work ${CMAKE_CURRENT_BINARY_DIR}/stream_fuzz_corpus)
    add_custom_command(OUTPUT ${fuzzer}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${fuzz_work}
      COMMAND ${VELTRANE_CLANGXX} -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined
              -fno-sanitize-recover=undefined -I${CMAKE_CURRENT_SOURCE_DIR}/src
              ${CMAKE_CURRENT_LIST_DIR}/group/OpcStreamFuzz.cpp
              ${CMAKE_CURRENT_SOURCE_DIR}/src/portable/OpcStream.cpp -o ${fuzzer}
      DEPENDS ${CMAKE_CURRENT_LIST_DIR}/group/OpcStreamFuzz.cpp
              ${CMAKE_CURRENT_SOURCE_DIR}/src/portable/OpcStream.cpp
              ${CMAKE_CURRENT_SOURCE_DIR}/src/portable/OpcStream.h
      VERBATIM)
    add_custom_target(veltrane_stream_fuzz ALL DEPENDS ${fuzzer})
    add_test(NAME veltrane_stream_fuzz
      COMMAND ${fuzzer} -max_total_time=20 -timeout=5 -rss_limit_mb=2048 ${fuzz_work}
              ${CMAKE_CURRENT_LIST_DIR}/group/stream_corpus)
    set_tests_properties(veltrane_stream_fuzz PROPERTIES TIMEOUT 120)
  endif()
endif()
