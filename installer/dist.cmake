# Assembles the rest of the installer's directory in dist/: its configuration
# files, the product's launcher and uninstaller, and the runtime files that
# the install run copies into <install dir>\update\ (see RuntimeFileList).
# install.exe, update.exe, skin/skin.zip, License.rtf and 7z.dll are written
# there by their own targets.

set(_dist_sources ${CMAKE_CURRENT_SOURCE_DIR}/dist)
set(_dist_outputs)

foreach(_config install.json update.json channel.json)
  add_custom_command(OUTPUT ${KORVA_DIST_DIR}/${_config}
    COMMAND ${CMAKE_COMMAND} -E copy ${_dist_sources}/${_config} ${KORVA_DIST_DIR}/${_config}
    DEPENDS ${_dist_sources}/${_config}
    COMMENT "Copying ${_config}")
  list(APPEND _dist_outputs ${KORVA_DIST_DIR}/${_config})
endforeach()

# The product's launcher and uninstaller are outside the system; the stub of
# the tests stands for them.
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/stub)
  foreach(_program launch.exe unins.exe)
    add_custom_command(OUTPUT ${KORVA_DIST_DIR}/${_program}
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:korva_stub> ${KORVA_DIST_DIR}/${_program}
      DEPENDS korva_stub
      COMMENT "Copying the product stub as ${_program}")
    list(APPEND _dist_outputs ${KORVA_DIST_DIR}/${_program})
  endforeach()
endif()

# Windows runtime libraries that have no counterpart on this machine: small
# stand-in files, so the install run copies the same names as on Windows.
set(_standins
  api-ms-win-core-file-l1-2-0.dll
  api-ms-win-core-file-l2-1-0.dll
  api-ms-win-core-localization-l1-2-0.dll
  api-ms-win-core-processthreads-l1-1-1.dll
  api-ms-win-core-synch-l1-2-0.dll
  api-ms-win-core-timezone-l1-1-0.dll
  api-ms-win-core-xstate-l2-1-0.dll
  api-ms-win-crt-conio-l1-1-0.dll
  api-ms-win-crt-convert-l1-1-0.dll
  api-ms-win-crt-environment-l1-1-0.dll
  api-ms-win-crt-filesystem-l1-1-0.dll
  api-ms-win-crt-heap-l1-1-0.dll
  api-ms-win-crt-locale-l1-1-0.dll
  api-ms-win-crt-math-l1-1-0.dll
  api-ms-win-crt-runtime-l1-1-0.dll
  api-ms-win-crt-stdio-l1-1-0.dll
  api-ms-win-crt-string-l1-1-0.dll
  api-ms-win-crt-time-l1-1-0.dll
  api-ms-win-crt-utility-l1-1-0.dll
  DuiLib_u.dll
  libcurl.dll
  libeay32.dll
  ssleay32.dll
  ucrtbase.dll
  vcruntime140.dll)
# The updater program is built by its own target; until it exists a
# stand-in keeps the installer's directory complete.
if(NOT EXISTS ${CMAKE_SOURCE_DIR}/updater/update_main.cpp)
  list(APPEND _standins update.exe)
endif()
foreach(_name ${_standins})
  set(_content "stand-in for ${_name}: linked into the programs on this machine\n")
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/standins/${_name} CONTENT "${_content}")
  add_custom_command(OUTPUT ${KORVA_DIST_DIR}/${_name}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_BINARY_DIR}/standins/${_name} ${KORVA_DIST_DIR}/${_name}
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/standins/${_name}
    COMMENT "Writing the stand-in ${_name}")
  list(APPEND _dist_outputs ${KORVA_DIST_DIR}/${_name})
endforeach()

add_custom_target(install_dist ALL DEPENDS ${_dist_outputs})
# Everything else the directory holds comes from other folders' targets.
add_dependencies(install_dist install_exe seven_zip_dll)
if(EXISTS ${CMAKE_SOURCE_DIR}/skin/CMakeLists.txt)
  add_dependencies(install_dist skin_zip license_rtf)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/updater/update_main.cpp)
  add_dependencies(install_dist update)
endif()
