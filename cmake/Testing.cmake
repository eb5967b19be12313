# SPDX-License-Identifier: GPL-3.0-or-later
# add_unit_test(name SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s] [ENV VAR=value ...])
# Every test gets the offscreen platform, a private settings and runtime folder,
# the path of the installer executable and of tests/support, and exit code 77 as "skipped".
# Every test runs through TOBRA_TEST_RUNNER, which fails a skipped test under CI=true.
set(TOBRA_TEST_SKIP_CODE 77)
set(TOBRA_TEST_RUNNER ${PROJECT_SOURCE_DIR}/tests/support/run-test)

function(add_unit_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  set(home ${CMAKE_CURRENT_BINARY_DIR}/${name}.home)
  file(MAKE_DIRECTORY ${home}/config ${home}/runtime)
  file(CHMOD ${home}/runtime DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  add_test(NAME ${name} COMMAND ${TOBRA_TEST_RUNNER} $<TARGET_FILE:${name}>)
  set(env
      QT_QPA_PLATFORM=offscreen
      XDG_CONFIG_HOME=${home}/config
      XDG_RUNTIME_DIR=${home}/runtime
      TOBRA_TEST_SUPPORT=${PROJECT_SOURCE_DIR}/tests/support
      LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/support/lsan.supp
      ${T_ENV})
  if(TARGET tobra-installer)
    list(APPEND env TOBRA_INSTALLER=$<TARGET_FILE:tobra-installer>)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES
      ENVIRONMENT "${env}"
      SKIP_RETURN_CODE ${TOBRA_TEST_SKIP_CODE}
      TIMEOUT ${T_TIMEOUT}
      LABELS "${T_LABELS}")
endfunction()
