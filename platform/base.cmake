# Errors, localisation, Unicode conversion, URLs, files, file attributes, content types.
zv_library(zv_platform_base
  SOURCES
    localization.cpp
    unicode.cpp
    date.cpp
    url.cpp
    files.cpp
  PUBLIC_LIBS PkgConfig::ICU PkgConfig::URIPARSER
)

zv_test(zv_platform_base_tests
  SOURCES
    localization_test.cpp
    url_test.cpp
  LIBS zv_platform_base
)
