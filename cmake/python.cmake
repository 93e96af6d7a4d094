# pixdelta_find_python(VAR DOC MODULE...): the first python3 on PATH, then
# in /usr/bin and /usr/local/bin, that imports every MODULE, cached in VAR
# (an empty VAR is searched for again at the next configure). The first
# python3 on PATH may lack the modules (a pyenv one, say), so each python3
# found is asked in turn.
function(pixdelta_find_python var doc)
  if(${var})
    return()
  endif()
  list(JOIN ARGN ", " imports)
  string(REPLACE ":" ";" path_dirs "$ENV{PATH}")
  foreach(dir IN LISTS path_dirs ITEMS /usr/bin /usr/local/bin)
    if(EXISTS "${dir}/python3")
      execute_process(COMMAND "${dir}/python3" -c "import ${imports}"
                      RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
      if(missing EQUAL 0)
        set(${var} "${dir}/python3" CACHE FILEPATH "${doc}")
        return()
      endif()
    endif()
  endforeach()
endfunction()
