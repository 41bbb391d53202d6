# Refuses includes that point up the engine's layers:
#
#   api -> engine -> frame / output / edit -> volume -> platform
#
# A file under src/<layer>/ may include the public headers (fusion/), its
# own layer and the layers below it; frame, output and edit are peers and
# may not include one another.
#
#   cmake -DSOURCE_DIR=<src> [-DSTAMP=<file>] -P CheckLayers.cmake

set(below_platform platform)
set(below_volume volume platform fusion)
set(below_frame frame volume platform fusion)
set(below_output output volume platform fusion)
set(below_edit edit volume platform fusion)
set(below_engine engine frame output edit volume platform fusion)
set(below_api api engine frame output edit volume platform fusion)

file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.h ${SOURCE_DIR}/*.cpp)
set(violations "")
foreach(file ${files})
  string(REGEX MATCH "^[^/]+" layer "${file}")
  if(NOT DEFINED below_${layer})
    list(APPEND violations "${file}: not inside a known layer")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+/")
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"/]+)/.*$" "\\1" target "${line}")
    list(FIND below_${layer} ${target} allowed)
    if(allowed EQUAL -1)
      list(APPEND violations "${file}: includes ${target}/, above or beside the ${layer} layer")
    endif()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Includes must point down the layers "
                      "(api -> engine -> frame / output / edit -> volume -> platform):\n  ${text}")
endif()
if(STAMP)
  file(TOUCH ${STAMP})
endif()
