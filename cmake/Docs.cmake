# The manual pages and shell completion, made into ${CMAKE_BINARY_DIR}/docs where the install
# rules take them (cmake/Install.cmake). The pages are written by hand in docs/man; the test
# "manual_pages" holds their options and commands to what the programs' --help prints.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(QVFW_DOCS_OUT ${CMAKE_BINARY_DIR}/docs)

function(qvfw_manual_page name)
  set(page ${QVFW_DOCS_OUT}/man/${name}.1)
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${name}.1 ${page} @ONLY)
  # -n: no name or time stamp in the header, so the same page compresses to the same bytes.
  add_custom_command(OUTPUT ${page}.gz COMMAND ${GZIP_PROGRAM} -9nkf ${page} DEPENDS ${page} VERBATIM)
  add_custom_target(qvfw_man_${name} ALL DEPENDS ${page}.gz)
endfunction()

qvfw_manual_page(qvfw)
if(QVFW_BUILD_GUI)
  qvfw_manual_page(qvfw-gui)
endif()

file(MAKE_DIRECTORY ${QVFW_DOCS_OUT}/completion)
foreach(script qvfw _qvfw)
  configure_file(${PROJECT_SOURCE_DIR}/docs/completion/${script} ${QVFW_DOCS_OUT}/completion/${script} COPYONLY)
endforeach()
