# Reward variables and the study base. The reward model tests build small
# atomic and joined models of their own.
korvan_add_test(reward_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/BaseStudyClassTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PVModelTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PerformanceVariableNodeTest.cpp
  LIBS korvan_reward korvan_composer)
