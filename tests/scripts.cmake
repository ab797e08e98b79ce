# Whole-process checks driven by shell scripts, with counts small enough for
# every test run; run the scripts by hand with larger counts.
add_test(NAME crash.select_killed_at_random
         COMMAND ${CMAKE_SOURCE_DIR}/tests/crash_test.sh $<TARGET_FILE:vorpel> 25 300)
# The same with the state directory on another file system than HOME, where
# backups are copies; skipped where no second file system can be had.
add_test(NAME crash.select_killed_at_random_state_elsewhere
         COMMAND ${CMAKE_SOURCE_DIR}/tests/crash_test.sh $<TARGET_FILE:vorpel> 25 300 other)
set_tests_properties(crash.select_killed_at_random_state_elsewhere PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
add_test(NAME concurrency.selects_serialised_by_lock
         COMMAND ${CMAKE_SOURCE_DIR}/tests/concurrency_test.sh $<TARGET_FILE:vorpel> ${CMAKE_SOURCE_DIR}/tests/fakes 8 25)
set_tests_properties(crash.select_killed_at_random concurrency.selects_serialised_by_lock PROPERTIES TIMEOUT 600)
# One failing system call at a time under strace during a switch, a
# re-select and an update; every 12th call here, every call by hand.
add_test(NAME fault_sweep.select_and_update_with_failing_calls
         COMMAND ${CMAKE_SOURCE_DIR}/tests/fault_sweep_test.sh $<TARGET_FILE:vorpel> ${CMAKE_SOURCE_DIR}/tests/fakes 12)
add_test(NAME fault_sweep.select_and_update_with_failing_calls_state_elsewhere
         COMMAND ${CMAKE_SOURCE_DIR}/tests/fault_sweep_test.sh $<TARGET_FILE:vorpel> ${CMAKE_SOURCE_DIR}/tests/fakes 12 other)
set_tests_properties(fault_sweep.select_and_update_with_failing_calls
                     fault_sweep.select_and_update_with_failing_calls_state_elsewhere
                     PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
