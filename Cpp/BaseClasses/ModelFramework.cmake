# Model framework: state variables, actions, groups, activities, atomic models.
add_library(korvan_framework STATIC
  ${CMAKE_CURRENT_LIST_DIR}/state/BaseStateVariableClass.cpp
  ${CMAKE_CURRENT_LIST_DIR}/state/SharableSV.cpp
  ${CMAKE_CURRENT_LIST_DIR}/state/Place.cpp
  ${CMAKE_CURRENT_LIST_DIR}/state/SharedStateVarLink.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BaseActionClass.cpp
)
target_link_libraries(korvan_framework PUBLIC korvan_foundation korvan_random)
