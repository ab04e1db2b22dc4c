# Read by ctest after the black-box cases have been discovered: each gets its own time limit.
foreach(blackBoxTest IN LISTS CorvantileUpdaterBlackBoxTests_TESTS)
  set_tests_properties("${blackBoxTest}" PROPERTIES TIMEOUT 120)
endforeach()
