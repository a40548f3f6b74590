# korvane_add_script_test(name SCRIPT file.js|PAGE name [ARGS ...] [EXIT code] [STDOUT regex...]
#                         [NOT_STDOUT regex...] [STDERR regex...] [SETUP driver-options...]
#                         [VALUES id=text...] [STEPS pattern action...] [FIXTURES fixture...] [LAB] [CSCRIPT]
#                         [WINDOWS] [TIMEOUT s])
#   PAGE: the script is the README's page of that name as tests/host/page.py makes it for this target, its
#   input fields given VALUES and its steps STEPS (pairs of a pattern and an action).
#   Runs host.exe file.js ARGS... (CSCRIPT: Wine's cscript instead) through the target's Wine loader, with
#   tests/host/run_script.py as the driver, and checks its exit code (default 0), that stdout and stderr
#   match every regular expression given and that stdout matches none of NOT_STDOUT (Python syntax,
#   searched in the whole text, ^ and $ at line ends). SETUP passes options to the driver that make files
#   and start lab servers for the run (run_script.py says which); ARGS can name what they made as @NAME@.
#   LAB: the test needs the FTP lab controller. FIXTURES: further CTest fixtures the test needs.
#   WINDOWS: the script makes windows: its process gets the run's X display as DISPLAY.
set(KORVANE_SCRIPT_DRIVER ${CMAKE_CURRENT_LIST_DIR}/run_script.py)
function(korvane_add_script_test name)
  cmake_parse_arguments(T "LAB;CSCRIPT;WINDOWS" "SCRIPT;PAGE;EXIT;TIMEOUT"
    "ARGS;STDOUT;NOT_STDOUT;STDERR;SETUP;FIXTURES;VALUES;STEPS" ${ARGN})
  if(NOT DEFINED T_EXIT)
    set(T_EXIT 0)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(checks --exit ${T_EXIT})
  foreach(re ${T_STDOUT})
    list(APPEND checks --stdout ${re})
  endforeach()
  foreach(re ${T_NOT_STDOUT})
    list(APPEND checks --not-stdout ${re})
  endforeach()
  foreach(re ${T_STDERR})
    list(APPEND checks --stderr ${re})
  endforeach()
  if(T_PAGE)
    set(script @PAGE@)
    list(APPEND checks --page ${T_PAGE})
    foreach(value ${T_VALUES})
      list(APPEND checks --value ${value})
    endforeach()
    list(LENGTH T_STEPS stepItems)
    math(EXPR odd "${stepItems} % 2")
    if(odd)
      message(FATAL_ERROR "${name}: STEPS takes pairs of a pattern and an action")
    endif()
    while(T_STEPS)
      list(POP_FRONT T_STEPS pattern action)
      list(APPEND checks --step ${pattern} ${action})
    endwhile()
  else()
    get_filename_component(script ${T_SCRIPT} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  if(T_CSCRIPT)
    # cscript takes an argument that starts with a slash for one of its options: give it the Z: path.
    string(REPLACE "/" "\\" script "Z:${script}")
    set(runner cscript.exe //Nologo)
  else()
    set(runner $<TARGET_FILE:korvane_script_host>)
  endif()
  set(test ${KORVANE_ARCH}.${name})
  add_test(NAME ${test}
    COMMAND /usr/bin/python3 ${KORVANE_SCRIPT_DRIVER} ${checks} ${T_SETUP} --timeout ${T_TIMEOUT}
            -- ${KORVANE_WINE} ${runner} ${script} ${T_ARGS})
  set(env ${KORVANE_TEST_ENV})
  if(T_WINDOWS)
    list(APPEND env ${KORVANE_WINDOWS_ENV})
  endif()
  set_property(TEST ${test} PROPERTY ENVIRONMENT ${env})
  if(T_WINDOWS)
    # One display for the run: windows of two tests at once would take each other's focus and keys.
    set_property(TEST ${test} PROPERTY RESOURCE_LOCK korvane_display)
  endif()
  # CTest waits a minute longer than the driver, so that the driver's own report of a time-out is seen.
  math(EXPR ctestTimeout "${T_TIMEOUT} + 60")
  set_property(TEST ${test} PROPERTY TIMEOUT ${ctestTimeout})
  set(fixtures ${T_FIXTURES})
  if(T_LAB)
    list(APPEND fixtures ${KORVANE_LAB_FIXTURE})
  endif()
  if(fixtures)
    set_property(TEST ${test} PROPERTY FIXTURES_REQUIRED ${fixtures})
  endif()
endfunction()
