# The programs a shop receives, on Windows: velmora_shipped_program(TARGET
# DESCRIPTION) gives TARGET a version resource (file and product version from
# the project's version, the product name, DESCRIPTION). Elsewhere it does
# nothing.
set(VELMORA_PRODUCT_NAME "Velmora 数据库升级")

function(velmora_shipped_program target description)
  if(NOT WIN32)
    return()
  endif()
  set(VELMORA_RC_NAME ${target})
  set(VELMORA_RC_FILE ${target}.exe)
  set(VELMORA_RC_DESCRIPTION "${description}")
  # FILEVERSION has four parts; the project's version may give fewer.
  string(REPLACE "." ";" _parts "${PROJECT_VERSION}")
  list(LENGTH _parts _count)
  while(_count LESS 4)
    list(APPEND _parts 0)
    math(EXPR _count "${_count} + 1")
  endwhile()
  list(JOIN _parts "," VELMORA_RC_VERSION_COMMAS)
  set(_rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version_info.rc.in ${_rc} @ONLY)
  target_sources(${target} PRIVATE ${_rc})
  set_property(GLOBAL APPEND PROPERTY VELMORA_SHIPPED_PROGRAMS ${target})
  set_property(GLOBAL APPEND PROPERTY VELMORA_SHIPPED_DESCRIPTIONS "${description}")
endfunction()
