# `cmake --install` as a host developer uses it: installs the build into a scratch prefix, checks that
# only the library's files are there, then builds a small C host against the installed package with
# the same toolchain (and another, if given) and runs it.
#
#   cmake -DBUILD_DIR=<this build> -DHOST_SOURCE_DIR=<tests/installed_host> -DWORK_DIR=<scratch folder>
#         -DGENERATOR=<generator> [-DPLATFORM=<x64>] [-DMAKE_PROGRAM=<ninja>] -DCONFIG=<configuration>
#         [-DTOOLCHAIN_FILE=<file>] [-DOTHER_TOOLCHAIN_FILE=<file>] [-DUNDER_WINE=ON] [-DWITH_PDB=ON]
#         -P installed_package_test.cmake

function(run)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE result
                  TIMEOUT 240)
  if(NOT result EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "${command}\nexited with ${result}\n${output}\n${errors}")
  endif()
  set(run_output "${output}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
set(package_dir "${prefix}/lib/cmake/varnokclient")

# ---- What is installed: the DLL (with its PDB), its import library, the header, the package; nothing else
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}" --config "${CONFIG}")
file(GLOB_RECURSE installed RELATIVE "${prefix}" "${prefix}/*")
foreach(file IN LISTS installed)
  if(NOT file MATCHES "^(bin/varnokclient\\.(dll|pdb)|lib/varnokclient\\.(dll\\.a|lib)|include/varnokclient\\.h|lib/cmake/varnokclient/varnokclient-(config|config-version|targets|targets-[a-z]+)\\.cmake)$")
    message(FATAL_ERROR "Installed, but no part of the package: ${file}")
  endif()
endforeach()
set(required_files bin/varnokclient.dll include/varnokclient.h lib/cmake/varnokclient/varnokclient-config.cmake)
if(WITH_PDB)
  list(APPEND required_files bin/varnokclient.pdb)
endif()
foreach(required IN LISTS required_files)
  if(NOT EXISTS "${prefix}/${required}")
    message(FATAL_ERROR "Not installed: ${required}")
  endif()
endforeach()

# ---- A host project finds the package, compiles, links and runs ----------------------------------------
# With the build's own toolchain, and with any other given: a host built by another compiler links
# the same import library.
function(build_and_run_host toolchain_file host_build)
  set(configure_arguments -S "${HOST_SOURCE_DIR}" -B "${host_build}" -G "${GENERATOR}"
      "-DCMAKE_BUILD_TYPE=${CONFIG}" "-DCMAKE_PREFIX_PATH=${prefix}")
  if(PLATFORM)
    list(APPEND configure_arguments -A "${PLATFORM}")
  endif()
  if(MAKE_PROGRAM)
    list(APPEND configure_arguments "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}")
  endif()
  if(toolchain_file)
    # The cross toolchain confines package searches to its target's root folder, where the prefix
    # is not: name the package folder itself.
    list(APPEND configure_arguments "-DCMAKE_TOOLCHAIN_FILE=${toolchain_file}" "-Dvarnokclient_DIR=${package_dir}")
  endif()
  run(${CMAKE_COMMAND} ${configure_arguments})
  run(${CMAKE_COMMAND} --build "${host_build}" --config "${CONFIG}")

  file(GLOB_RECURSE host_program "${host_build}/installed_host.exe")
  if(NOT host_program)
    message(FATAL_ERROR "The host's build made no installed_host.exe")
  endif()
  # Under Wine the host gets Wine's own fltlib.dll, as a host gets the system's on Windows: the
  # driver simulator is not part of the package.
  set(runner)
  if(UNDER_WINE)
    set(runner ${CMAKE_COMMAND} -E env WINEDEBUG=-all wine)
  endif()
  run(${runner} "${host_program}")
  if(NOT run_output MATCHES "ClientDisconnect without FilterInit: E_POINTER\nGetVersion: the system's version\nvarnokclient GetVersion: 2.0.0.135")
    message(FATAL_ERROR "The host built with ${toolchain_file} said:\n${run_output}")
  endif()
endfunction()

build_and_run_host("${TOOLCHAIN_FILE}" "${WORK_DIR}/build")
if(OTHER_TOOLCHAIN_FILE)
  build_and_run_host("${OTHER_TOOLCHAIN_FILE}" "${WORK_DIR}/build-other")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
