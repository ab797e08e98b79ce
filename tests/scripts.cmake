# Whole-process checks driven by shell scripts, with counts small enough for
# every test run; run the scripts by hand with larger counts.
add_test(NAME crash.select_killed_at_random
         COMMAND ${CMAKE_SOURCE_DIR}/tests/crash_test.sh $<TARGET_FILE:vorpel> 25 300)
add_test(NAME concurrency.selects_serialised_by_lock
         COMMAND ${CMAKE_SOURCE_DIR}/tests/concurrency_test.sh $<TARGET_FILE:vorpel> ${CMAKE_SOURCE_DIR}/tests/fakes 8 25)
set_tests_properties(crash.select_killed_at_random concurrency.selects_serialised_by_lock PROPERTIES TIMEOUT 600)
