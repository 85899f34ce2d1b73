# SPDX-License-Identifier: ISC
# Every shipped shared object exports exactly the symbols its list under
# cmake/exports names: plug-ins and Lua modules share one process and one
# symbol namespace with others (scripts/check-exports.py).
find_program(EO_PYTHON3 python3 REQUIRED)
set(EO_READELF ${CMAKE_READELF})
if(NOT EO_READELF)
  find_program(EO_READELF readelf REQUIRED)
endif()
set(exports_check ${EO_PYTHON3} ${CMAKE_SOURCE_DIR}/scripts/check-exports.py
  --readelf ${EO_READELF})
if(EO_SANITIZE)
  list(APPEND exports_check --sanitized)
endif()

# target: list
set(exports_lists fdgate:fdgate lattice:lattice commons:commons detour:detour
  lua_ares:ares nixio_cipherkit:cipherkit)
foreach(pair ${exports_lists})
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 target)
  list(GET pair 1 list)
  if(TARGET ${target})
    add_test(NAME exports.${list} COMMAND ${exports_check}
      $<TARGET_FILE:${target}> ${CMAKE_SOURCE_DIR}/cmake/exports/${list}.txt)
    set_tests_properties(exports.${list} PROPERTIES TIMEOUT 30 LABELS exports)
  endif()
endforeach()

# The checker itself: an export its list does not name, and a listed name
# the object lacks, are each reported by name (the test passes on that
# report only, whatever the exit status).
if(TARGET detour)
  set(detour_list ${CMAKE_SOURCE_DIR}/cmake/exports/detour.txt)
  add_test(NAME exports.checker_names_an_unlisted_export COMMAND ${exports_check}
    --drop luaclose_detour $<TARGET_FILE:detour> ${detour_list})
  set_tests_properties(exports.checker_names_an_unlisted_export PROPERTIES TIMEOUT 30
    LABELS exports PASS_REGULAR_EXPRESSION "exports luaclose_detour, which .* does not name")
  add_test(NAME exports.checker_names_a_missing_export COMMAND ${exports_check}
    --add luaopen_elsewhere $<TARGET_FILE:detour> ${detour_list})
  set_tests_properties(exports.checker_names_a_missing_export PROPERTIES TIMEOUT 30
    LABELS exports PASS_REGULAR_EXPRESSION "does not export luaopen_elsewhere, which .* names")
endif()
