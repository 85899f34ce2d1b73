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

find_path(EO_UBOX_INCLUDE libubox/uloop.h NO_CMAKE_PATH)
find_library(EO_UBOX_LIB ubox)
if(EO_UBOX_INCLUDE AND EO_UBOX_LIB)
  set(EO_REAL_UBOX ON)
  add_library(ubox UNKNOWN IMPORTED)
  set_target_properties(ubox PROPERTIES IMPORTED_LOCATION ${EO_UBOX_LIB}
    INTERFACE_INCLUDE_DIRECTORIES ${EO_UBOX_INCLUDE})
  message(STATUS "libubox: ${EO_UBOX_LIB}")
else()
  set(EO_REAL_UBOX OFF)
  message(STATUS "libubox: host stand-in")
endif()

find_path(EO_UBUS_INCLUDE libubus.h)
find_library(EO_UBUS_LIB ubus)
if(EO_REAL_UBOX AND EO_UBUS_INCLUDE AND EO_UBUS_LIB)
  set(EO_REAL_UBUS ON)
  add_library(ubus UNKNOWN IMPORTED)
  set_target_properties(ubus PROPERTIES IMPORTED_LOCATION ${EO_UBUS_LIB}
    INTERFACE_INCLUDE_DIRECTORIES ${EO_UBUS_INCLUDE}
    INTERFACE_LINK_LIBRARIES ubox)
  message(STATUS "libubus: ${EO_UBUS_LIB}")
else()
  set(EO_REAL_UBUS OFF)
  message(STATUS "libubus: host stand-in")
endif()

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
