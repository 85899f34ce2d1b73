# SPDX-License-Identifier: ISC
# Build-tree layout, so tests find what they start:
#   ${EO_BIN_DIR}        programs (sbin on the device)
#   ${EO_LUA54_DIR}      Lua 5.4 modules, as laid out under lib/lua/5.4
#   ${EO_LUA51_DIR}      Lua 5.1 modules, as laid out under lib/lua/5.1
#   ${EO_PLUGIN_DIR}     HTTP server plug-ins
set(EO_BIN_DIR ${CMAKE_BINARY_DIR}/bin)
set(EO_LUA54_DIR ${CMAKE_BINARY_DIR}/lua/5.4)
set(EO_LUA51_DIR ${CMAKE_BINARY_DIR}/lua/5.1)
set(EO_PLUGIN_DIR ${CMAKE_BINARY_DIR}/lib)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${EO_BIN_DIR})

# eo_program(target SOURCES...): a deliverable program, installed in sbin.
function(eo_program target)
  add_executable(${target} ${ARGN})
  install(TARGETS ${target} RUNTIME DESTINATION sbin)
endfunction()

# eo_stand_in_program(target SOURCES...): a program of the host platform,
# installed in sbin only with the platform-stand-ins component (laid out as
# the device SDK would be), never by a plain `cmake --install`.
function(eo_stand_in_program target)
  add_executable(${target} ${ARGN})
  install(TARGETS ${target} RUNTIME DESTINATION sbin COMPONENT platform-stand-ins EXCLUDE_FROM_ALL)
endfunction()

# eo_init_script(name file): a deliverable's procd init script, installed
# as etc/init.d/<name>.
function(eo_init_script name file)
  install(PROGRAMS ${file} DESTINATION etc/init.d RENAME ${name})
endfunction()

# eo_lua_module(target LUA 5.4|5.1 PATH rel/name.so [STAND_IN] SOURCES ...)
# A Lua C module placed at PATH under the version's module folder, in the
# build tree and when installed (lib/lua/<version>/PATH). A STAND_IN module
# installs only with the platform-stand-ins component.
function(eo_lua_module target)
  cmake_parse_arguments(M "STAND_IN" "LUA;PATH" "SOURCES" ${ARGN})
  add_library(${target} MODULE ${M_SOURCES})
  get_filename_component(sub ${M_PATH} DIRECTORY)
  get_filename_component(name ${M_PATH} NAME_WE)
  if(M_LUA STREQUAL "5.4")
    set(root ${EO_LUA54_DIR})
    target_link_libraries(${target} PRIVATE lua54_headers)
  else()
    set(root ${EO_LUA51_DIR})
    target_link_libraries(${target} PRIVATE lua51_headers)
  endif()
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${name}
    LIBRARY_OUTPUT_DIRECTORY ${root}/${sub})
  if(M_STAND_IN)
    install(TARGETS ${target} LIBRARY DESTINATION lib/lua/${M_LUA}/${sub}
      COMPONENT platform-stand-ins EXCLUDE_FROM_ALL)
  else()
    install(TARGETS ${target} LIBRARY DESTINATION lib/lua/${M_LUA}/${sub})
  endif()
endfunction()

# eo_gtest(name SOURCES ... LIBS ... [TIMEOUT s] [LABELS ...])
# A GoogleTest binary whose cases run as separate CTest tests. Each test
# process runs in its own mount namespace (private /tmp) and network
# namespace (own loopback), see host/testkit.
function(eo_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT EO_TESTS)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE testkit ${T_LIBS} GTest::gtest GTest::gmock)
  target_compile_definitions(${name} PRIVATE
    EO_BIN_DIR="${EO_BIN_DIR}" EO_LUA54_DIR="${EO_LUA54_DIR}"
    EO_LUA51_DIR="${EO_LUA51_DIR}" EO_PLUGIN_DIR="${EO_PLUGIN_DIR}"
    EO_SOURCE_DIR="${CMAKE_SOURCE_DIR}" EO_BUILD_DIR="${CMAKE_BINARY_DIR}")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  # under an emulator everything takes several times longer
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    math(EXPR T_TIMEOUT "${T_TIMEOUT} * 3")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 TEST_PREFIX "${name}."
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()

# eo_fuzzer(name SECONDS n SOURCES ... LIBS ... [CORPUS dir])
# A libFuzzer target, run for a bounded time by CTest in sanitizer builds.
# With CORPUS, the run starts from the seed inputs in that folder of the
# source tree; what the run adds goes to a folder of the build tree.
function(eo_fuzzer name)
  cmake_parse_arguments(F "" "SECONDS;CORPUS" "SOURCES;LIBS" ${ARGN})
  if(NOT EO_FUZZ OR NOT EO_TESTS)
    return()
  endif()
  if(NOT F_SECONDS)
    set(F_SECONDS 20)
  endif()
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set(corpus)
  if(F_CORPUS)
    set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}.corpus)
    file(MAKE_DIRECTORY ${work})
    get_filename_component(seeds ${F_CORPUS} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    set(corpus ${work} ${seeds})
  endif()
  add_test(NAME ${name} COMMAND ${name} -max_total_time=${F_SECONDS}
    -rss_limit_mb=1024 -print_final_stats=1 ${corpus})
  math(EXPR t "${F_SECONDS} + 60")
  set_tests_properties(${name} PROPERTIES TIMEOUT ${t} LABELS fuzz)
endfunction()
