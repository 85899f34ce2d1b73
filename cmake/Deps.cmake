# SPDX-License-Identifier: ISC
# Libraries the deliverables build against. libubox/libubus come from the
# device SDK when installed, otherwise from host/ (same headers and names).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(LUA54 REQUIRED IMPORTED_TARGET lua5.4)
pkg_check_modules(LUA51 REQUIRED IMPORTED_TARGET lua5.1)
pkg_check_modules(CARES REQUIRED IMPORTED_TARGET libcares)
pkg_check_modules(JSONC REQUIRED IMPORTED_TARGET json-c)
pkg_check_modules(OPENSSL REQUIRED IMPORTED_TARGET libssl libcrypto)
pkg_check_modules(NETSNMPAGENT REQUIRED IMPORTED_TARGET netsnmp-agent)

# Header-only views of Lua for modules: a module takes the interpreter's
# symbols from the process that loads it and never links liblua itself.
add_library(lua54_headers INTERFACE)
target_include_directories(lua54_headers INTERFACE ${LUA54_INCLUDE_DIRS})
add_library(lua51_headers INTERFACE)
target_include_directories(lua51_headers INTERFACE ${LUA51_INCLUDE_DIRS})

# net-snmp agent: the pkg-config file drags in the MIB modules; the subagent
# needs only the agent and base libraries.
find_library(NETSNMP_AGENT_LIB netsnmpagent REQUIRED)
find_library(NETSNMP_LIB netsnmp REQUIRED)
add_library(netsnmp_agent INTERFACE)
target_link_libraries(netsnmp_agent INTERFACE ${NETSNMP_AGENT_LIB} ${NETSNMP_LIB})
target_include_directories(netsnmp_agent INTERFACE ${NETSNMPAGENT_INCLUDE_DIRS})

include(PlatformLibs)

if(EO_TESTS)
  find_package(GTest REQUIRED)
endif()
if(EO_BENCH)
  find_package(benchmark QUIET)
endif()

# libFuzzer needs clang's runtime; fuzz targets exist in clang sanitizer builds.
if(EO_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(EO_FUZZ ON)
  # coverage feedback for the code under test, not only the fuzz entry point
  add_compile_options(-fsanitize=fuzzer-no-link)
else()
  set(EO_FUZZ OFF)
endif()
