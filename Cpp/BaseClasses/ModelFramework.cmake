# Model framework: state variables, actions, groups, activities, atomic models.
add_library(korvan_framework STATIC
  ${CMAKE_CURRENT_LIST_DIR}/state/BaseStateVariableClass.cpp
  ${CMAKE_CURRENT_LIST_DIR}/state/SharableSV.cpp
  ${CMAKE_CURRENT_LIST_DIR}/state/Place.cpp
  ${CMAKE_CURRENT_LIST_DIR}/state/SharedStateVarLink.cpp
  ${CMAKE_CURRENT_LIST_DIR}/state/BaseStructStateVariable.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BaseActionClass.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BaseGroupClass.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PostselectGroup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PreselectGroup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SingleGroup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/EmptyGroup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Activity.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BaseModelClass.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SANModel.cpp
)
target_link_libraries(korvan_framework PUBLIC korvan_foundation korvan_random)
# The framework's virtual calls land in generated classes that it cannot
# know; speculating on its own classes as targets only bloats the hot loops
# (a group's Enabled() guessed its members to be groups, three levels deep).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(korvan_framework PRIVATE -fno-devirtualize-speculatively)
endif()
