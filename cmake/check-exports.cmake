# cmake -DOBJDUMP=... -DDLL=... [-DEXACTLY=a;b] [-DNAMESPACE=ns] -P check-exports.cmake
#
# Reads a DLL's export name table with the toolchain's objdump and fails
# unless it exports exactly EXACTLY, or (with NAMESPACE) at least one symbol
# and only symbols of C++ namespace NAMESPACE: nothing of the standard
# library, fmt, spdlog or any other library the DLL is built with leaks.
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)*" table "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${table}")
set(names "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${entry}")
  list(APPEND names "${name}")
endforeach()
list(LENGTH names count)
message(STATUS "${DLL}: ${count} exports")

if(DEFINED EXACTLY)
  if(NOT names STREQUAL EXACTLY)
    message(FATAL_ERROR "${DLL} exports [${names}], expected exactly [${EXACTLY}]")
  endif()
  return()
endif()

if(count EQUAL 0)
  message(FATAL_ERROR "${DLL} exports nothing")
endif()
string(LENGTH "${NAMESPACE}" ns_length)
set(foreign "")
foreach(name IN LISTS names)
  # Itanium mangling: optional special-name prefix (vtable, typeinfo, ...),
  # a nested name, optional cv-qualifiers, then the namespace.
  if(NOT name MATCHES "^_Z(T[VIST])?N[KVr]*${ns_length}${NAMESPACE}[0-9]")
    list(APPEND foreign "${name}")
  endif()
endforeach()
if(foreign)
  list(LENGTH foreign n)
  list(JOIN foreign "\n  " text)
  message(FATAL_ERROR "${DLL} exports ${n} symbols outside namespace ${NAMESPACE}:\n  ${text}")
endif()
