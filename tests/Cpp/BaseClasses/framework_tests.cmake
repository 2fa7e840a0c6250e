# Model framework: actions, groups, activities, atomic models.
korvan_add_test(framework_tests
  SOURCES BaseActionClassTest.cpp BaseGroupClassTest.cpp SANModelTest.cpp
  LIBS korvan_framework)
