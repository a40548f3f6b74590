# Sources of the picker in the server DLL; its registration scripts go into the resources.
target_sources(Korvane PRIVATE
  FtpPartition.cpp)
target_link_libraries(Korvane PRIVATE comdlg32 shell32)
set_property(SOURCE Korvane.rc APPEND PROPERTY OBJECT_DEPENDS
  "${CMAKE_CURRENT_SOURCE_DIR}/FtpPartition.rgs;${CMAKE_CURRENT_SOURCE_DIR}/FtpPartition64.rgs")
