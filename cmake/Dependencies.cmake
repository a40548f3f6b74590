# The dependencies are cross-built by tools/setup.sh into ${KORVANE_CACHE}, one folder per version and target.
set(KORVANE_LOG4CPLUS_DIR "${KORVANE_CACHE}/log4cplus-2.0.8-${KORVANE_ARCH}")
set(KORVANE_CRYPTOPP_DIR "${KORVANE_CACHE}/cryptopp-8.7.0-${KORVANE_ARCH}")
foreach(dir ${KORVANE_LOG4CPLUS_DIR} ${KORVANE_CRYPTOPP_DIR})
  if(NOT EXISTS "${dir}/.done")
    message(FATAL_ERROR "${dir} is missing: run tools/setup.sh first")
  endif()
endforeach()

# log4cplus installs its CMake package (log4cplus::log4cplusSU, the static Unicode library). Its target does
# not say that the library is static, which the headers must know.
find_package(log4cplus 2.0.8 EXACT CONFIG REQUIRED PATHS "${KORVANE_LOG4CPLUS_DIR}" NO_DEFAULT_PATH)
target_compile_definitions(log4cplus::log4cplusSU INTERFACE LOG4CPLUS_STATIC)

# Crypto++'s own makefile installs no CMake package files: an imported target of ours.
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
