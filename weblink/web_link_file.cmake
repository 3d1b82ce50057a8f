# Web link files: the model of one saved link and its file format (binary property list, or an
# XML property list for webloc files).
zv_library(zv_weblink_file
  SOURCES web_link_file.cpp
  PUBLIC_LIBS zv_richtext zv_platform zv_text
)

zv_test(zv_weblink_file_tests
  SOURCES web_link_file_test.cpp
  LIBS zv_weblink_file
)

zv_fuzzer(web_link_file_fuzzer
  SOURCES web_link_file_fuzzer.cpp
  LIBS zv_weblink_file
)
