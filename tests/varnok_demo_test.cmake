# The demo as a newcomer runs it (scripts/demo): on its own sample folder, and on a folder of files
# with origin streams. Checks what it prints and its exit code.
#
#   cmake -DDEMO=<varnok_demo.exe> [-DRUNNER=<cmake/wine-run>] -DWORK_DIR=<scratch folder>
#         -P varnok_demo_test.cmake

# On the test command's NTFS volume when it mounted one: there the demo builds its sample folder and
# the folder of own files lies, so that streams are true streams of their files.
set(ntfs_folder "$ENV{VARNOK_NTFS_FOLDER}")
set(ntfs_unix_folder "$ENV{VARNOK_NTFS_UNIX_FOLDER}")
set(demo_environment)
if(ntfs_folder AND ntfs_unix_folder)
  set(WORK_DIR "${ntfs_unix_folder}/varnok_demo")
  set(demo_environment ${CMAKE_COMMAND} -E env "VARNOK_DEMO_FOLDER=${ntfs_folder}\\varnok_demo")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")

function(run_demo output_variable)
  execute_process(COMMAND ${demo_environment} ${RUNNER} ${DEMO} ${ARGN}
                  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE result TIMEOUT 240)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "varnok_demo ${ARGN} exited with ${result}\n${output}\n${errors}")
  endif()
  set(${output_variable} "${output}" PARENT_SCOPE)
endfunction()

function(expect_lines output)
  foreach(pattern IN LISTS ARGN)
    if(NOT output MATCHES "${pattern}")
      message(FATAL_ERROR "No line matches\n  ${pattern}\nin the output:\n${output}")
    endif()
  endforeach()
endfunction()

# ---- The sample folder: one row per decision of the library ---------------------------------------
# Columns: file, zone, origin, scanned, verdict, the library's stream afterwards.
run_demo(sample_output)
expect_lines("${sample_output}"
  "\ndownload-test-file\\.com +3 +https://downloads\\.example\\.com/tools/test-file\\.com +yes +1 +HostUrl=https://downloads\\.example\\.com/tools/test-file\\.com; ScanResult=1; FileName=[^\n]*download-test-file\\.com; sealed\n"
  "\ndownload-clean-caf[^ ]+\\.exe +3 +https://www\\.example\\.com/apps/setup\\.exe +yes +2 +HostUrl=[^;]+; ScanResult=2; "
  "\ndownload-clean-caf[^ ]+\\.exe \\(again\\) +- +- +no +2 +HostUrl=[^;]+; ScanResult=2; "
  "\nlocal-notes\\.txt +- +- +no +2 +\\(no stream\\)\n"
  "\ndownload-2-days-old\\.exe +- +- +no +2 +\\(no stream\\)\n"
  "\nsmartscreen-only\\.exe +- +- +no +0 +\\(no stream\\)\n"
  "\ndownload-being-written\\.exe +- +- +no +2 +\\(no stream\\)\n"
  "\ndownload-empty-zone\\.exe +3 +unknown host +yes +2 +HostUrl=unknown host; ScanResult=2; "
  "\ndownload-notes\\.txt:p\\.vbs +3 +https://downloads\\.example\\.com/notes\\.txt +yes +1 +\\(no stream\\)\n"
  "\ndownload-referrer-only\\.exe +3 +https://www\\.example\\.org/downloads\\?id=42 +yes +1 +HostUrl=https://www\\.example\\.org/downloads\\?id=42; ScanResult=1; "
  "\\[INFO\\] File has no Zone\\.Identifier nor SmartScan\\. [^\n]*local-notes\\.txt\n"
  "\\[INFO\\] [^\n]*download-2-days-old\\.exe file is old\n"
  "\\[INFO\\] [^\n]*download-being-written\\.exe Could not open file\\.\n"
  "\\[WARN\\] Malformed Zone\\.Identifier - force scan\\.\n"
  "\nverdict 1 for [^\n]*download-test-file\\.com\n"
  "\nverdict 1 for [^\n]*download-notes\\.txt:p\\.vbs\n"
  "== ClientDisconnect: 0x00000000\n"
  "\nEvery event went as expected\\.\n"
)

# Kept on the volume: what a user sees there from Linux is the sample files alone, their streams
# inside them.
if(demo_environment)
  expect_lines("${sample_output}" "\n== The sample folder stays at [^\n]*varnok-demo\n")
  file(GLOB kept RELATIVE "${WORK_DIR}/varnok-demo" "${WORK_DIR}/varnok-demo/*")
  list(LENGTH kept kept_count)
  if(NOT kept_count EQUAL 9 OR kept MATCHES ":")
    message(FATAL_ERROR "The sample folder on the NTFS volume lists other than its 9 files: ${kept}")
  endif()
endif()

# ---- A folder of the user's own files -----------------------------------------------------------------
# Written as a user does from Linux: the name "file:stream" writes the stream itself on the NTFS
# volume (ntfs-3g shows streams under that name), and a file of that name beside its file elsewhere,
# which Wine takes for the stream. Either way the stream is no file of its own for the demo.
set(folder "${WORK_DIR}/own files")
file(WRITE "${folder}/plain.txt" "text\r\n")
file(WRITE "${folder}/tools/download.exe" "harmless\r\n")
file(WRITE "${folder}/tools/download.exe:Zone.Identifier" "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://files.example.net/download.exe\r\n")
file(WRITE "${folder}/tools/screened.exe" "harmless\r\n")
file(WRITE "${folder}/tools/screened.exe:SmartScreen" "Anaheim")

run_demo(folder_output "${folder}")
expect_lines("${folder_output}"
  "== One file event for each file of [^\n]*: 3 files\n"
  "\nplain\\.txt +- +- +no +2 +\\(no stream\\)\n"
  "\ntools[/\\\\]download\\.exe +3 +https://files\\.example\\.net/download\\.exe +yes +2 +HostUrl=https://files\\.example\\.net/download\\.exe; ScanResult=2; FileName=[^\n]*download\\.exe; sealed\n"
  "\ntools[/\\\\]screened\\.exe +- +- +no +0 +\\(no stream\\)\n"
  "\nEvery event got its verdict\\.\n"
)
file(REMOVE_RECURSE "${WORK_DIR}")
