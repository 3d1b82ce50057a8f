# URL clean-up for imported links and reading of highlighted-text fragments.
zv_library(zv_weblink_url_extensions
  SOURCES url_extensions.cpp
  PUBLIC_LIBS zv_text zv_platform
)

zv_test(zv_weblink_url_extensions_tests
  SOURCES url_extensions_test.cpp
  LIBS zv_weblink_url_extensions
)

zv_fuzzer(url_extensions_fuzzer
  SOURCES url_extensions_fuzzer.cpp
  LIBS zv_weblink_url_extensions
)

zv_benchmark(
  SOURCES url_extensions_benchmark.cpp
  LIBS zv_weblink_url_extensions
)
