# User defaults: the program's preferences file, and the notification centre that announces
# changes to them.
zv_library(zv_platform_user_defaults
  SOURCES
    user_defaults.cpp
    notification_center.cpp
  PUBLIC_LIBS zv_platform_keyed_archive zv_platform_property_list zv_platform_operations
)

zv_test(zv_platform_user_defaults_tests
  SOURCES
    user_defaults_test.cpp
    notification_center_test.cpp
  LIBS zv_platform_user_defaults
  LABELS threaded
)

zv_benchmark(SOURCES user_defaults_benchmark.cpp LIBS zv_platform_user_defaults)
