# vorpel against the real pacman, in a sandbox root of the test's own.
add_test(NAME packages.real_pacman
         COMMAND ${CMAKE_SOURCE_DIR}/tests/real_pacman_test.sh $<TARGET_FILE:vorpel>)
set_tests_properties(packages.real_pacman PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77)
