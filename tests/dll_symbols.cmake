# What a Windows debugger needs to read a dump of a host that crashed inside varnokclient.dll: the
# DLL's debug directory names the PDB by its file name with the PDB's own GUID and age, and the PDB
# holds the exports' public symbols, the library's functions with their locals, and the line tables
# of every source of the DLL. The DLL itself carries no DWARF. Run as:
#   cmake -DDLL=... -DPDB=... -DOBJDUMP=... -DREADOBJ=... -DPDBUTIL=... -DSOURCES=<a|b|...> -P dll_symbols.cmake
function(dump output)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULT_VARIABLE failed)
  if(failed)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "${command} failed: ${errors}")
  endif()
  set(${output} "${text}" PARENT_SCOPE)
endfunction()

dump(sections ${OBJDUMP} -h ${DLL})
if(sections MATCHES " (\\.debug_[a-z_]+) ")
  message(FATAL_ERROR "${DLL} carries the debug section ${CMAKE_MATCH_1}")
endif()

# ---- The DLL's CodeView record and the PDB agree ------------------------------------------------
dump(directory ${READOBJ} --coff-debug-directory ${DLL})
if(NOT directory MATCHES "Type: CodeView \\(0x2\\)\n[^{]*PDBInfo {\n *PDBSignature: 0x53445352\n *PDBGUID: \\(([0-9A-F ]+)\\)\n *PDBAge: ([0-9]+)\n *PDBFileName: ([^\n]*)\n")
  message(FATAL_ERROR "${DLL} has no CodeView (RSDS) record:\n${directory}")
endif()
set(record_bytes "${CMAKE_MATCH_1}")
set(record_age "${CMAKE_MATCH_2}")
set(record_name "${CMAKE_MATCH_3}")
get_filename_component(pdb_name "${PDB}" NAME)
if(NOT record_name STREQUAL pdb_name)
  message(FATAL_ERROR "The CodeView record names '${record_name}', not the file name '${pdb_name}'")
endif()
# The record holds the GUID as it lies in memory: its first three fields little-endian.
string(REPLACE " " ";" bytes "${record_bytes}")
set(fields)
foreach(field "3;2;1;0" "5;4" "7;6" "8;9" "10;11;12;13;14;15")
  list(GET bytes ${field} field)
  string(REPLACE ";" "" field "${field}")
  list(APPEND fields ${field})
endforeach()
list(JOIN fields "-" record_guid)

dump(summary ${PDBUTIL} dump --summary ${PDB})
if(NOT summary MATCHES "\n *Age: ([0-9]+)\n *GUID: {([0-9A-F-]+)}")
  message(FATAL_ERROR "No GUID and age in ${PDB}:\n${summary}")
endif()
if(NOT CMAKE_MATCH_2 STREQUAL record_guid OR NOT CMAKE_MATCH_1 STREQUAL record_age)
  message(FATAL_ERROR "The DLL wants PDB {${record_guid}} age ${record_age}; ${PDB} is {${CMAKE_MATCH_2}} age ${CMAKE_MATCH_1}")
endif()

# ---- What the PDB holds ---------------------------------------------------------------------------
# The exports as their functions are named: GetVersion is VarnokGetVersion (runtime/varnokclient.def).
dump(publics ${PDBUTIL} dump --publics ${PDB})
foreach(function FilterInit SetDriverConfiguration VarnokGetVersion ClientDisconnect VarnokDeleteFile)
  if(NOT publics MATCHES "S_PUB32 \\[size = [0-9]+\\] `${function}`\n *flags = function")
    message(FATAL_ERROR "${PDB} has no public function ${function}")
  endif()
endforeach()

dump(globals ${PDBUTIL} dump --globals ${PDB})
if(NOT globals MATCHES "S_PROCREF \\[size = [0-9]+\\] `varnok::HandleScanEvent`")
  message(FATAL_ERROR "${PDB} does not know the function varnok::HandleScanEvent")
endif()

# Each source of the DLL is a module of the PDB, with its functions and their line table; the
# decision's handler, with its locals.
dump(modules ${PDBUTIL} dump --sym-stats ${PDB})
string(REPLACE "|" ";" SOURCES "${SOURCES}")
foreach(source IN LISTS SOURCES)
  get_filename_component(object "${source}.obj" NAME)
  string(REPLACE "." "\\." object "${object}")
  # A module's statistics run to the next module's name, the first backtick after its own.
  if(NOT modules MATCHES "Mod [0-9]+ \\| `([^`\n]*/)?${object}`: *\n([^`]*)")
    message(FATAL_ERROR "${PDB} has no module for ${source}")
  endif()
  set(module "${CMAKE_MATCH_2}")
  if(NOT module MATCHES "S_[GL]PROC32: +[1-9]")
    message(FATAL_ERROR "${PDB} has no functions of ${source}")
  endif()
  if(NOT module MATCHES "DEBUG_S_LINES: +[1-9]")
    message(FATAL_ERROR "${PDB} has no line table of ${source}")
  endif()
  if(source MATCHES "/scan_event\\.cpp$" AND NOT module MATCHES "S_LOCAL: +[1-9]")
    message(FATAL_ERROR "${PDB} has no locals of ${source}")
  endif()
endforeach()
list(LENGTH SOURCES count)
message(STATUS "${pdb_name} {${record_guid}} age ${record_age} matches the DLL; the exports, HandleScanEvent and ${count} sources' functions and lines are in it")
