# Keyed archives: the platform's object archive format on top of binary property lists.
zv_library(zv_platform_keyed_archive
  SOURCES
    archived_object.cpp
    keyed_archive_classes.cpp
    keyed_archiver.cpp
    keyed_unarchiver.cpp
  PUBLIC_LIBS zv_platform_property_list
)

zv_test(zv_platform_keyed_archive_tests
  SOURCES keyed_archive_test.cpp
  LIBS zv_platform_keyed_archive
)

zv_fuzzer(keyed_archive_fuzzer
  SOURCES keyed_archive_fuzzer.cpp
  LIBS zv_platform_keyed_archive
)
