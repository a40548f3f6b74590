# The file checks: MD5 and CRC-32 of a local file, each on a worker thread of its own.
target_sources(korvane_engine PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/MD5.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Md5Checker.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Crc32.cpp)
