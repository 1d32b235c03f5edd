# Installs the build into a fresh prefix and checks the layout the launcher relies on: the
# executable in bin/, the page and translations in resources/ beside bin/ (its "../resources"),
# and the desktop entry naming the installed executable as the handler of "zentravo" links: valid
# by desktop-file-validate, and run as that executable with the link as its one argument even
# when the prefix holds a space.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${err}")
endif()
set(expected bin/launcher resources/index.html share/applications/zentravo-launcher.desktop)
foreach(language de en es fr it ja ko pt ru zhTW)
  list(APPEND expected resources/translations/${language}.json)
endforeach()
foreach(file ${expected})
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "missing after install: ${file}")
  endif()
endforeach()
file(GET_RUNTIME_DEPENDENCIES EXECUTABLES "${PREFIX}/bin/launcher" RESOLVED_DEPENDENCIES_VAR libs
     UNRESOLVED_DEPENDENCIES_VAR missing)
if(missing)
  message(FATAL_ERROR "bin/launcher needs libraries that are not found: ${missing}")
endif()
set(entry "${PREFIX}/share/applications/zentravo-launcher.desktop")
find_program(DESKTOP_FILE_VALIDATE desktop-file-validate REQUIRED)
execute_process(COMMAND "${DESKTOP_FILE_VALIDATE}" "${entry}" RESULT_VARIABLE rc
                OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0 OR out)
  message(FATAL_ERROR "desktop-file-validate finds fault with the desktop entry:\n${out}")
endif()
execute_process(COMMAND "${DESKTOP_ENTRY_PROBE}" "${entry}" RESULT_VARIABLE rc
                OUTPUT_VARIABLE command ERROR_VARIABLE err)
set(expected_command "${PREFIX}/bin/launcher\nzentravo://open\n")
if(NOT rc EQUAL 0 OR NOT command STREQUAL expected_command)
  message(FATAL_ERROR "the desktop entry runs\n${command}${err}instead of\n${expected_command}")
endif()
file(READ "${entry}" desktop)
foreach(line "MimeType=x-scheme-handler/zentravo;")
  string(FIND "${desktop}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the desktop entry lacks '${line}':\n${desktop}")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
