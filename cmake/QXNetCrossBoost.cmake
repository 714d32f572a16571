# Boost for a cross build: the library uses Boost's headers only, so the host's headers serve
# any target. They are exposed through a staging directory that holds nothing but a link to
# the host's boost/ folder, so that the rest of the host's include directory (Linux system
# headers) never reaches the cross compiler. Provides the Boost::headers target, as
# find_package(Boost) does in a native build.
if(TARGET Boost::headers)
  return()
endif()

find_path(QXNET_HOST_BOOST_INCLUDE_DIR boost/version.hpp
  PATHS /usr/include /usr/local/include
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
  DOC "Host include directory that holds boost/ (headers only are used)")
if(NOT QXNET_HOST_BOOST_INCLUDE_DIR)
  message(FATAL_ERROR "Boost headers not found on the host (install libboost-dev, or set "
    "QXNET_HOST_BOOST_INCLUDE_DIR to the directory that holds boost/)")
endif()

set(_qx_boost_stage ${PROJECT_BINARY_DIR}/boost-headers)
file(MAKE_DIRECTORY ${_qx_boost_stage})
file(CREATE_LINK ${QXNET_HOST_BOOST_INCLUDE_DIR}/boost ${_qx_boost_stage}/boost SYMBOLIC)

add_library(Boost::headers INTERFACE IMPORTED GLOBAL)
set_target_properties(Boost::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_qx_boost_stage})
unset(_qx_boost_stage)
