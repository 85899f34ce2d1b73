# SPDX-License-Identifier: ISC
# libubox and libubus: the device SDK's when they are installed, otherwise
# the host stand-ins under host/ (same headers and names).
#
# An installed pair is looked for through CMAKE_PREFIX_PATH (cache or
# environment), the locations pkg-config reports for "libubox" and "libubus"
# (PKG_CONFIG_PATH), and the system's usual paths. EO_HOST_UBUS=ON skips the
# search. Sets EO_REAL_UBOX / EO_REAL_UBUS and, for an installed library,
# the imported targets `ubox` and `ubus`; prints which ones were taken.
option(EO_HOST_UBUS "Build the host stand-ins of libubox and libubus even when installed ones exist" OFF)

find_package(PkgConfig QUIET)

# eo_platform_lib(<prefix> <pkg-config name> <header> <library name>)
# Sets <prefix>_INCLUDE and <prefix>_LIB (cached), or leaves them NOTFOUND.
macro(eo_platform_lib var pc header lib)
  set(_hint_inc "")
  set(_hint_lib "")
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(${var}_PC QUIET ${pc})
    if(${var}_PC_FOUND)
      set(_hint_inc ${${var}_PC_INCLUDEDIR} ${${var}_PC_INCLUDE_DIRS})
      set(_hint_lib ${${var}_PC_LIBDIR} ${${var}_PC_LIBRARY_DIRS})
    endif()
  endif()
  find_path(${var}_INCLUDE ${header} HINTS ${_hint_inc})
  find_library(${var}_LIB ${lib} HINTS ${_hint_lib})
endmacro()

# eo_import_lib(<target> <library file> <include dir>)
function(eo_import_lib target lib inc)
  if(lib MATCHES "\\.a$")
    add_library(${target} STATIC IMPORTED GLOBAL)
  else()
    add_library(${target} SHARED IMPORTED GLOBAL)
  endif()
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION ${lib}
    INTERFACE_INCLUDE_DIRECTORIES ${inc})
endfunction()

set(EO_REAL_UBOX OFF)
set(EO_REAL_UBUS OFF)
if(NOT EO_HOST_UBUS)
  eo_platform_lib(EO_UBOX libubox libubox/uloop.h ubox)
  if(EO_UBOX_INCLUDE AND EO_UBOX_LIB)
    set(EO_REAL_UBOX ON)
    eo_import_lib(ubox ${EO_UBOX_LIB} ${EO_UBOX_INCLUDE})
    # the bus library needs the event loop it was built with
    eo_platform_lib(EO_UBUS libubus libubus.h ubus)
    if(EO_UBUS_INCLUDE AND EO_UBUS_LIB)
      set(EO_REAL_UBUS ON)
      eo_import_lib(ubus ${EO_UBUS_LIB} ${EO_UBUS_INCLUDE})
      set_property(TARGET ubus APPEND PROPERTY INTERFACE_LINK_LIBRARIES ubox)
    endif()
  endif()
endif()

if(EO_REAL_UBOX)
  message(STATUS "libubox: installed, ${EO_UBOX_LIB} (headers in ${EO_UBOX_INCLUDE})")
else()
  message(STATUS "libubox: host stand-in (host/libubox)")
endif()
if(EO_REAL_UBUS)
  message(STATUS "libubus: installed, ${EO_UBUS_LIB} (headers in ${EO_UBUS_INCLUDE})")
else()
  message(STATUS "libubus: host stand-in (host/libubus)")
endif()
