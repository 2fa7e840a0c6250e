# Reward variables (reward model, performance variable nodes and workers) and
# the study base with its global-variable overrides.
add_library(korvan_reward STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/PVModel.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/PerformanceVariableNode.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/PerformanceVariableWorker.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/InstantOfTime.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/ImpulseNodeClass.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/ModelGroupClass.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/VarModelPairClass.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/ActionModelPairClass.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/BaseStudyClass.cpp
)
target_link_libraries(korvan_reward PUBLIC korvan_framework)
