# Errors, localisation, Unicode conversion, URLs, files, file attributes, content types.
zv_library(zv_platform_base
  SOURCES
    localization.cpp
    unicode.cpp
    date.cpp
    url.cpp
    file_errors.cpp
    file_paths.cpp
    directories.cpp
    remove_tree.cpp
    file_copy.cpp
    file_move.cpp
    file_read_write.cpp
    folder_handle.cpp
    exclusive_file.cpp
    file_attributes.cpp
    file_lock.cpp
    app_group_containers.cpp
    process_info.cpp
    temporary_directory.cpp
    content_type.cpp
  PUBLIC_LIBS PkgConfig::ICU PkgConfig::URIPARSER
  PRIVATE_LIBS EXPAT::EXPAT
)

zv_test(zv_platform_base_tests
  SOURCES
    localization_test.cpp
    date_test.cpp
    file_name_extension_test.cpp
    url_test.cpp
    files_test.cpp
    scoped_descriptor_test.cpp
    retry_on_interrupt_test.cpp
    file_attributes_test.cpp
    file_lock_test.cpp
    app_group_containers_test.cpp
    process_info_test.cpp
    content_type_test.cpp
    unicode_test.cpp
    result_test.cpp
  LIBS zv_platform_base
)

zv_fuzzer(url_fuzzer SOURCES url_fuzzer.cpp LIBS zv_platform_base)

zv_benchmark(
  SOURCES
    url_benchmark.cpp
  LIBS zv_platform_base
)
