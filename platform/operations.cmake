# Operations and queues, the main queue, progress, logging and the program's bundle information.
zv_library(zv_platform_operations
  SOURCES
    operation.cpp
    operation_queue.cpp
    main_queue.cpp
    run_loop_main_queue.cpp
    progress.cpp
  PUBLIC_LIBS zv_platform_base Threads::Threads
)

zv_test(zv_platform_operations_tests
  SOURCES
    operation_queue_test.cpp
    progress_test.cpp
  LIBS zv_platform_operations
  LABELS threaded
)
