# The driver's sources: the same list for the host and the Windows build.
set(QUORVEX_DRIVER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/../driver/entry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../driver/hex_dump.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../driver/open_close.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../driver/request_gate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../driver/sync_usb.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../pnp/dispatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../pnp/remove.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../pnp/start.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../power/dispatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../control/dispatch.cpp
)
