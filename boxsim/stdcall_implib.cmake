# Rewrites a 32-bit --kill-at DLL's import library so that its stdcall functions are found under
# their decorated names (FT_Write@16) and imported by their plain ones (FT_Write).
# Arguments: DEF (the linker's --output-def), DLLTOOL, DLL (file name), IMPORT_LIBRARY.
file(READ ${DEF} exports)
# The linker writes a killed name as "FT_Write = FT_Write@16 @12"; dlltool -k wants "FT_Write@16 @12".
string(REGEX REPLACE "([\n\t ])[A-Za-z_0-9]+ = ([A-Za-z_0-9]+@[0-9]+)" "\\1\\2" exports "${exports}")
set(decorated ${DEF}.decorated)
file(WRITE ${decorated} "${exports}")
execute_process(COMMAND ${DLLTOOL} -d ${decorated} -D ${DLL} -l ${IMPORT_LIBRARY} -k RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} could not write ${IMPORT_LIBRARY}")
endif()
