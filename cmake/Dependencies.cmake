# The dependencies are cross-built by tools/setup.sh into ${KORVANE_CACHE}, one folder per version and target.
set(KORVANE_LOG4CPLUS_DIR "${KORVANE_CACHE}/log4cplus-2.0.8-${KORVANE_ARCH}")
set(KORVANE_CRYPTOPP_DIR "${KORVANE_CACHE}/cryptopp-8.7.0-${KORVANE_ARCH}")
foreach(dir ${KORVANE_LOG4CPLUS_DIR} ${KORVANE_CRYPTOPP_DIR})
  if(NOT EXISTS "${dir}/.done")
    message(FATAL_ERROR "${dir} is missing: run tools/setup.sh first")
  endif()
endforeach()

set(KORVANE_LOG4CPLUS_LIB "${KORVANE_LOG4CPLUS_DIR}/lib/liblog4cplusSU.a")
add_library(korvane::log4cplus INTERFACE IMPORTED)
target_include_directories(korvane::log4cplus SYSTEM INTERFACE "${KORVANE_LOG4CPLUS_DIR}/include")
target_link_libraries(korvane::log4cplus INTERFACE "${KORVANE_LOG4CPLUS_LIB}" ws2_32 advapi32)
target_compile_definitions(korvane::log4cplus INTERFACE LOG4CPLUS_STATIC)

set(KORVANE_CRYPTOPP_LIB "${KORVANE_CRYPTOPP_DIR}/lib/libcrypto++.a")
add_library(korvane::cryptopp INTERFACE IMPORTED)
target_include_directories(korvane::cryptopp SYSTEM INTERFACE "${KORVANE_CRYPTOPP_DIR}/include")
target_link_libraries(korvane::cryptopp INTERFACE "${KORVANE_CRYPTOPP_LIB}")

# Boost is header-only here. A folder holding just a link to /usr/include/boost keeps the other Linux headers out.
set(KORVANE_BOOST_DIR "${CMAKE_BINARY_DIR}/boost-include")
if(NOT EXISTS "${KORVANE_BOOST_DIR}/boost")
  file(MAKE_DIRECTORY "${KORVANE_BOOST_DIR}")
  file(CREATE_LINK /usr/include/boost "${KORVANE_BOOST_DIR}/boost" SYMBOLIC)
endif()
add_library(korvane::boost INTERFACE IMPORTED)
target_include_directories(korvane::boost SYSTEM INTERFACE "${KORVANE_BOOST_DIR}")

# GoogleTest from Debian's sources, built per target.
set(KORVANE_GTEST_SRC /usr/src/googletest)
