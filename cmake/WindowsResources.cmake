# The resources of the window platform's programs (data/windows): the icon, the version
# information (the window's caption reads it) and the application manifest with common controls
# version 6 and the execution level the program asks for.
#   qvfw_windows_resources(TARGET NAME DESCRIPTION LEVEL)
# LEVEL: highestAvailable (the window: raw pass-through needs an elevated administrator) or
# asInvoker (the command line, which must keep printing into the console it was started from).
enable_language(RC)
math(EXPR _tweak "0${PROJECT_VERSION_TWEAK}")
set(QVFW_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},${_tweak}")
set(QVFW_VERSION_DOTS "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${_tweak}")

function(qvfw_windows_resources target name description level)
  set(QVFW_DATA ${PROJECT_SOURCE_DIR}/data)
  set(QVFW_RC_NAME ${name})
  set(QVFW_RC_DESCRIPTION "${description}")
  set(QVFW_VERSION_COMMAS_DOTS ${QVFW_VERSION_DOTS})
  set(QVFW_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/${name}.manifest)
  file(READ ${QVFW_DATA}/windows/qvfw.manifest manifest)
  string(REPLACE "@QVFW_VERSION_COMMAS_DOTS@" "${QVFW_VERSION_DOTS}" manifest "${manifest}")
  string(REPLACE "level=\"highestAvailable\"" "level=\"${level}\"" manifest "${manifest}")
  file(GENERATE OUTPUT ${QVFW_MANIFEST} CONTENT "${manifest}")
  configure_file(${QVFW_DATA}/windows/qvfw.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc)
  set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc APPEND PROPERTY OBJECT_DEPENDS
    ${QVFW_DATA}/windows/qvfw.ico ${QVFW_MANIFEST})
endfunction()
