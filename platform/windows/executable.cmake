# quellix.exe: a GUI-subsystem program (no console window) entered through
# wWinMain, with the manifest that requests elevation embedded as a resource.
# Included from app/CMakeLists.txt on Windows in place of main.cpp.
add_executable(quellix WIN32
  ${PROJECT_SOURCE_DIR}/platform/windows/winmain.cpp
  ${PROJECT_SOURCE_DIR}/platform/windows/quellix.rc)
target_link_options(quellix PRIVATE -municode)
# The resource compiler reads the manifest, but CMake does not see that include.
set_source_files_properties(${PROJECT_SOURCE_DIR}/platform/windows/quellix.rc PROPERTIES
  OBJECT_DEPENDS ${PROJECT_SOURCE_DIR}/platform/windows/quellix.manifest)
