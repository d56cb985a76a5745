# Header-only dependencies for a cross-build, taken from the build machine's
# Debian headers without exposing anything else of /usr/include: each
# library's folder is linked into one include directory of the build tree,
# so a cross-compiler never meets a Linux system header.
#
# fmt runs in header-only mode (its implementation is compiled into every
# binary that formats); spdlog in its compiled mode (see below). Defines the same target names the
# packages' CMake configs define.
set(PELIONP_DEBIAN_INCLUDE "/usr/include" CACHE PATH "Where Debian's header-only libraries live")
set(_pelionp_headers ${CMAKE_BINARY_DIR}/header-only-deps)
file(MAKE_DIRECTORY ${_pelionp_headers})
foreach(entry IN ITEMS spdlog fmt nlohmann valijson range meta concepts std readerwriterqueue CLI)
  if(NOT EXISTS ${PELIONP_DEBIAN_INCLUDE}/${entry})
    message(FATAL_ERROR "header-only dependency ${PELIONP_DEBIAN_INCLUDE}/${entry} is missing (scripts/install-deps)")
  endif()
  if(NOT EXISTS ${_pelionp_headers}/${entry})
    file(CREATE_LINK ${PELIONP_DEBIAN_INCLUDE}/${entry} ${_pelionp_headers}/${entry} SYMBOLIC)
  endif()
endforeach()

function(_pelionp_header_only name)
  add_library(${name} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${name} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_pelionp_headers})
  if(ARGN)
    set_target_properties(${name} PROPERTIES INTERFACE_COMPILE_DEFINITIONS "${ARGN}")
  endif()
endfunction()

_pelionp_header_only(fmt::fmt FMT_HEADER_ONLY=1)
# NB: Debian's spdlog is configured for an external fmt (tweakme.h), which
# is the fmt above. spdlog runs in its compiled mode: its implementation is
# built once, from the same headers, into a static library that every module
# links (each module keeps its own registry, as in header-only mode).
add_library(pelionp_spdlog_compiled STATIC ${CMAKE_CURRENT_LIST_DIR}/deps/spdlog_compiled.cpp)
target_include_directories(pelionp_spdlog_compiled SYSTEM PUBLIC ${_pelionp_headers})
target_compile_definitions(pelionp_spdlog_compiled PUBLIC SPDLOG_COMPILED_LIB=1 FMT_HEADER_ONLY=1 SPDLOG_FMT_EXTERNAL=1)
_pelionp_header_only(spdlog::spdlog SPDLOG_COMPILED_LIB=1 FMT_HEADER_ONLY=1 SPDLOG_FMT_EXTERNAL=1)
set_target_properties(spdlog::spdlog PROPERTIES INTERFACE_LINK_LIBRARIES pelionp_spdlog_compiled)
_pelionp_header_only(nlohmann_json::nlohmann_json)
_pelionp_header_only(range-v3::range-v3)
_pelionp_header_only(CLI11::CLI11)
set(READERWRITERQUEUE_INCLUDE_DIR ${_pelionp_headers})
set(VALIJSON_INCLUDE_DIR ${_pelionp_headers})
