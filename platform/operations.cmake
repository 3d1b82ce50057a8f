# Operations and queues, the main queue, progress, logging and the program's bundle information.
set(ZV_BUILD_NUMBER "1" CACHE STRING "The build number recorded as CFBundleVersion")
configure_file(bundle_info_version.h.in
  ${CMAKE_CURRENT_BINARY_DIR}/generated/platform/bundle_info_version.h @ONLY)

zv_library(zv_platform_operations
  SOURCES
    operation.cpp
    operation_queue.cpp
    main_queue.cpp
    run_loop_main_queue.cpp
    progress.cpp
    log.cpp
  PUBLIC_LIBS zv_platform_base Threads::Threads
)
target_include_directories(zv_platform_operations PUBLIC ${CMAKE_CURRENT_BINARY_DIR}/generated)

zv_test(zv_platform_operations_tests
  SOURCES
    operation_queue_test.cpp
    progress_test.cpp
    log_test.cpp
  LIBS zv_platform_operations
  LABELS threaded
)

zv_benchmark(SOURCES main_queue_benchmark.cpp log_benchmark.cpp LIBS zv_platform_operations)
