# SPDX-License-Identifier: ISC
# Tests only a build for another architecture has: its bus library and
# daemon against the native build's (EO_NATIVE_BUILD, built first), in both
# directions. Byte order and word size differ between the two sides, so
# every message crosses the socket in the wire format and nothing else.
set(EO_NATIVE_BUILD ${CMAKE_SOURCE_DIR}/build CACHE PATH
  "Native build whose bus daemon and peers the cross-endian tests use")
string(REPLACE ";" " " eo_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")

if(EO_TESTS AND TARGET bus_call_test AND TARGET bus_notify_test)
  foreach(t bus_call_test bus_notify_test)
    # target clients and peers under emulation, native daemon
    add_test(NAME cross_endian.native_daemon.${t} COMMAND ${t})
    set_tests_properties(cross_endian.native_daemon.${t} PROPERTIES TIMEOUT 600
      LABELS cross_endian ENVIRONMENT
      "EO_BUS_DAEMON=${EO_NATIVE_BUILD}/bin/ubusd;EO_BUS_PEER=${EO_NATIVE_BUILD}/bin/bus_peer")
    # native clients, target daemon and peers under emulation
    add_test(NAME cross_endian.target_daemon.${t} COMMAND ${EO_NATIVE_BUILD}/bin/${t})
    set_tests_properties(cross_endian.target_daemon.${t} PROPERTIES TIMEOUT 600
      LABELS cross_endian ENVIRONMENT
      "EO_BUS_DAEMON=${eo_emulator} ${EO_BIN_DIR}/ubusd;EO_BUS_PEER=${eo_emulator} ${EO_BIN_DIR}/bus_peer")
  endforeach()
endif()

# The modules in the stand-alone interpreters built for the target.
if(EO_TESTS AND EO_MIPS_SYSROOT)
  if(TARGET lattice AND TARGET detour AND TARGET commons AND TARGET lua_ares)
    add_test(NAME target_lua54_modules COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR}
      ${EO_MIPS_SYSROOT}/usr/bin/lua5.4 ${CMAKE_SOURCE_DIR}/scripts/target/lua54_check.lua
      ${EO_LUA54_DIR} target)
    set_tests_properties(target_lua54_modules PROPERTIES TIMEOUT 60 LABELS lua)
  endif()
  if(TARGET nixio_cipherkit AND TARGET nixio)
    add_test(NAME target_lua51_modules COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR}
      ${EO_MIPS_SYSROOT}/usr/bin/lua5.1 ${CMAKE_SOURCE_DIR}/scripts/target/lua51_check.lua
      ${EO_LUA51_DIR})
    set_tests_properties(target_lua51_modules PROPERTIES TIMEOUT 60 LABELS lua)
  endif()
endif()
