# Build helpers shared by every component.

set(TESSAREL_WINDOWS OFF)
set(TESSAREL_WINDOWS32 OFF)
set(TESSAREL_WINELIB OFF)
set(TESSAREL_NATIVE OFF)
set(TESSAREL_FUZZ OFF)
if(TESSAREL_TREE STREQUAL "windows")
  set(TESSAREL_WINDOWS ON)
elseif(TESSAREL_TREE STREQUAL "windows32")
  # The 32-bit libraries and the programs that prove them in 32-bit hosts: a windows tree in
  # which the components' own tests (already run by the 64-bit tree) are left out.
  set(TESSAREL_WINDOWS ON)
  set(TESSAREL_WINDOWS32 ON)
elseif(TESSAREL_TREE STREQUAL "winelib")
  set(TESSAREL_WINELIB ON)
elseif(TESSAREL_TREE STREQUAL "native")
  set(TESSAREL_NATIVE ON)
elseif(TESSAREL_TREE STREQUAL "fuzz")
  set(TESSAREL_FUZZ ON)
else()
  message(FATAL_ERROR
          "TESSAREL_TREE must be windows, windows32, winelib, native or fuzz, not '${TESSAREL_TREE}'")
endif()

# Programs of the windows and winelib trees land side by side in build/bin (the 32-bit tree's
# in build/bin32).
if(TESSAREL_BIN_DIR AND NOT TESSAREL_NATIVE)
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${TESSAREL_BIN_DIR})
  set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${TESSAREL_BIN_DIR})
endif()

if(TESSAREL_WINDOWS)
  # Every exe and dll stands alone: no libstdc++/libgcc/winpthread dlls to ship or register.
  add_link_options(-static)
  add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 NOMINMAX)
  add_compile_options(-Wall -Wno-unknown-pragmas)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # The .def files name the exports undecorated; their __stdcall symbols carry @n in 32-bit.
    add_link_options(-Wl,--enable-stdcall-fixup)
  endif()
elseif(TESSAREL_WINELIB)
  # libixion/liborcus headers raise dllimport warnings under _WIN32.
  add_compile_options(-w)
  add_compile_definitions(NOMINMAX)
else()
  # Portable logic is tested natively under the address and undefined-behaviour sanitizers.
  # (GCC 12 reports std::variant moves as maybe-uninitialized under the sanitizers: noise.)
  add_compile_options(-Wall -Wextra -fsanitize=address,undefined -fno-omit-frame-pointer)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
  add_link_options(-fsanitize=address,undefined)
  if(TESSAREL_FUZZ)
    # Coverage for libFuzzer everywhere; only the fuzz targets link its main.
    add_compile_options(-fsanitize=fuzzer-no-link)
  endif()
endif()

set(TESSAREL_WIDL_INCLUDES /usr/include/wine/wine/windows)

# GoogleTest from Debian's sources, built with this tree's compiler (mingw or host).
macro(tessarel_googletest)
  if(NOT TESSAREL_WINELIB)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endif()
endmacro()

# tessarel_add_test(name SOURCES a.cpp ... [LIBS x ...] [TIMEOUT s] [ARGS ...] [NO_GTEST_MAIN]
#                   [RUNNER script])
# One GoogleTest executable, run as one ctest test through Wine (windows tree) or natively.
function(tessarel_add_test name)
  cmake_parse_arguments(T "NO_GTEST_MAIN" "TIMEOUT;RUNNER" "SOURCES;LIBS;ARGS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if(T_NO_GTEST_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest GTest::gmock ${T_LIBS})
  else()
    target_link_libraries(${name} PRIVATE GTest::gtest_main GTest::gmock ${T_LIBS})
  endif()
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  if(T_RUNNER)
    # A script runs the program (given as its first argument) and alone: no other test at once.
    add_test(NAME ${name} COMMAND ${T_RUNNER} $<TARGET_FILE:${name}> ${T_ARGS})
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  else()
    add_test(NAME ${name} COMMAND ${name} ${T_ARGS})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "TESSAREL_BIN_DIR=${CMAKE_RUNTIME_OUTPUT_DIRECTORY};TESSAREL_SOURCE_DIR=${CMAKE_SOURCE_DIR};TESSAREL_ARTIFACTS=${CMAKE_BINARY_DIR}/artifacts")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# tessarel_widl(<out-var> IDL file [NAME base] [HEADER] [TLB] [IID] [PROXY] [FIXUP_LPWSTR])
# Runs widl on one IDL file; the generated files land in the current binary dir and their paths
# are returned in <out-var> (header, _i.c, .tlb, _p.c, dlldata.c as asked). FIXUP_LPWSTR repairs
# widl 8's proxy code for [out] LPWSTR * parameters and fails the build if nothing was repaired.
function(tessarel_widl out)
  cmake_parse_arguments(W "HEADER;TLB;IID;PROXY;FIXUP_LPWSTR" "IDL;NAME" "INCLUDES;DEPENDS" ${ARGN})
  get_filename_component(idl ${W_IDL} ABSOLUTE)
  if(NOT W_NAME)
    get_filename_component(W_NAME ${W_IDL} NAME_WE)
  endif()
  set(b ${CMAKE_CURRENT_BINARY_DIR})
  set(inc)
  foreach(i ${TESSAREL_WIDL_INCLUDES} ${W_INCLUDES} ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND inc -I${i})
  endforeach()
  if(TESSAREL_WINDOWS AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    # widl looks for the 32-bit stdole2.tlb beside its own 64-bit files; Debian's wine32 puts it
    # under the i386 library folder.
    set(widl widl -m32 -L/usr/lib/i386-linux-gnu/wine/i386-windows ${inc})
  else()
    set(widl widl -m64 ${inc})
  endif()
  set(files)
  if(W_HEADER)
    add_custom_command(OUTPUT ${b}/${W_NAME}.h COMMAND ${widl} -h -H ${b}/${W_NAME}.h ${idl}
      DEPENDS ${idl} ${W_DEPENDS} VERBATIM)
    list(APPEND files ${b}/${W_NAME}.h)
  endif()
  if(W_IID)
    add_custom_command(OUTPUT ${b}/${W_NAME}_i.c COMMAND ${widl} -u -U ${b}/${W_NAME}_i.c ${idl}
      DEPENDS ${idl} ${W_DEPENDS} VERBATIM)
    list(APPEND files ${b}/${W_NAME}_i.c)
  endif()
  if(W_TLB)
    add_custom_command(OUTPUT ${b}/${W_NAME}.tlb COMMAND ${widl} -t -T ${b}/${W_NAME}.tlb ${idl}
      DEPENDS ${idl} ${W_DEPENDS} VERBATIM)
    list(APPEND files ${b}/${W_NAME}.tlb)
  endif()
  if(W_PROXY)
    set(fix)
    if(W_FIXUP_LPWSTR)
      set(fix COMMAND python3 ${CMAKE_SOURCE_DIR}/cmake/widl_fixup_lpwstr.py ${b}/${W_NAME}_p.c)
    endif()
    add_custom_command(OUTPUT ${b}/${W_NAME}_p.c ${b}/${W_NAME}_dlldata.c
      COMMAND ${widl} -Oif -p -P ${b}/${W_NAME}_p.c ${idl}
      ${fix}
      COMMAND widl --dlldata-only -o ${b}/${W_NAME}_dlldata.c ${W_NAME}
      DEPENDS ${idl} ${W_DEPENDS} VERBATIM)
    list(APPEND files ${b}/${W_NAME}_p.c ${b}/${W_NAME}_dlldata.c)
  endif()
  set(${out} ${files} PARENT_SCOPE)
endfunction()

# tessarel_register(<target> DLL|EXE|WINELIB_EXE)
# Records a COM server for scripts/register: dlls through regsvr32 (the 32-bit tree's through the
# 32-bit regsvr32), exes with /regserver.
# The list is written as <build tree>/register.list by tessarel_write_register_list().
function(tessarel_register target kind)
  if(kind STREQUAL "DLL")
    set(line "dll $<TARGET_FILE:${target}>")
  elseif(kind STREQUAL "EXE")
    set(line "exe $<TARGET_FILE:${target}>")
  elseif(kind STREQUAL "WINELIB_EXE")
    set(line "exe $<TARGET_FILE:${target}>.so")
  else()
    message(FATAL_ERROR "tessarel_register: unknown kind ${kind}")
  endif()
  set_property(GLOBAL APPEND PROPERTY TESSAREL_REGISTER_LINES "${line}")
endfunction()

function(tessarel_write_register_list)
  get_property(lines GLOBAL PROPERTY TESSAREL_REGISTER_LINES)
  string(REPLACE ";" "\n" content "${lines}")
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/register.list CONTENT "${content}\n")
endfunction()
