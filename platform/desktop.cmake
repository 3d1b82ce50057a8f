# The desktop workspace: desktop entries and metainfo files in the XDG data folders, and the
# applications they describe reached over the session bus.
zv_library(zv_platform_desktop
  SOURCES
    desktop_entry.cpp
    desktop_workspace.cpp
  PUBLIC_LIBS zv_platform_base
  PRIVATE_LIBS EXPAT::EXPAT SDBusCpp::sdbus-c++ Threads::Threads
)

zv_test(zv_platform_desktop_tests
  SOURCES
    desktop_entry_test.cpp
    desktop_workspace_test.cpp
  LIBS zv_platform_desktop SDBusCpp::sdbus-c++
  LABELS threaded
)
