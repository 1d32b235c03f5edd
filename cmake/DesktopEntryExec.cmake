# launcher_desktop_exec_program(<path> <out-var>): <path> as the program of a desktop entry's
# Exec value, by the desktop entry rules: '%' doubled (field codes); a path holding a reserved
# character quoted in "...", with '"', '`', '$' and '\' escaped inside the quotes; then every
# '\' escaped once more, as in any string value of the file.
function(launcher_desktop_exec_program path out)
  if(path MATCHES "[\n\r]")
    message(FATAL_ERROR "The install prefix \"${path}\" holds a line break; a desktop entry "
                        "cannot name it")
  endif()
  string(REPLACE "%" "%%" program "${path}")
  if(program MATCHES "[ \t\"'\\\\><~|&;$*?#()`]")
    string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" program "${program}")
    set(program "\"${program}\"")
  endif()
  string(REPLACE "\\" "\\\\" program "${program}")
  set(${out} "${program}" PARENT_SCOPE)
endfunction()
