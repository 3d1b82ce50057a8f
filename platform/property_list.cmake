# Property lists: our value model with binary and XML readers and writers.
zv_library(zv_platform_property_list
  SOURCES
    property_list.cpp
    binary_property_list.cpp
    binary_property_list_reader.cpp
    binary_property_list_view.cpp
    binary_property_list_stream.cpp
    xml_property_list.cpp
    property_list_serialization.cpp
  PUBLIC_LIBS zv_platform_base EXPAT::EXPAT
)

zv_test(zv_platform_property_list_tests
  SOURCES
    property_list_test.cpp
    binary_property_list_test.cpp
    binary_property_list_view_test.cpp
    binary_property_list_stream_test.cpp
    xml_property_list_test.cpp
    property_list_interop_test.cpp
  LIBS zv_platform_property_list
)

zv_fuzzer(binary_property_list_fuzzer
  SOURCES binary_property_list_fuzzer.cpp
  LIBS zv_platform_property_list
)
zv_fuzzer(xml_property_list_fuzzer
  SOURCES xml_property_list_fuzzer.cpp
  LIBS zv_platform_property_list
)

if(ZV_BUILD_BENCHMARKS)
  # libplist is the peer we measure against, never a dependency of the product. GLOBAL: the
  # benchmark executable that links it is assembled in another folder.
  pkg_check_modules(LIBPLIST REQUIRED IMPORTED_TARGET GLOBAL libplist-2.0)
  zv_benchmark(
    SOURCES property_list_benchmark.cpp
    LIBS zv_platform_property_list PkgConfig::LIBPLIST
  )
endif()
