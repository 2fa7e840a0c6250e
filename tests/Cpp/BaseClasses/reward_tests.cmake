# Reward variables and the study base.
korvan_add_test(reward_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/BaseStudyClassTest.cpp
  LIBS korvan_reward)
