# Property lists: our value model with binary and XML readers and writers.
zv_library(zv_platform_property_list
  SOURCES
    property_list.cpp
    binary_property_list.cpp
    xml_property_list.cpp
    property_list_serialization.cpp
  PUBLIC_LIBS zv_platform_base EXPAT::EXPAT
)

zv_test(zv_platform_property_list_tests
  SOURCES
    property_list_test.cpp
    binary_property_list_test.cpp
    xml_property_list_test.cpp
    property_list_interop_test.cpp
  LIBS zv_platform_property_list
)
