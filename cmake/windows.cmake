# The Windows build: VelquoraORN.dll with its import library, the sample application and the
# test programs that run under Wine (or on Windows). Included from the top-level CMakeLists.txt.

# The DLL, the sample application and the test programs side by side, as an application ships.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# The export table comes from a .def file written from the public header: every function the
# header declares, undecorated, plus the decorated second name of ornReOpenPort.
set(ORN_HEADER ${CMAKE_SOURCE_DIR}/include/velquoraorn.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ORN_HEADER})
file(STRINGS ${ORN_HEADER} ORN_DECLARATIONS REGEX "^ORN_API ")
set(ORN_DEF_TEXT "LIBRARY VelquoraORN.dll\nEXPORTS\n")
foreach(declaration ${ORN_DECLARATIONS})
  string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*)\\(" name "${declaration}")
  string(REGEX REPLACE "\\($" "" name "${name}")
  string(APPEND ORN_DEF_TEXT "    ${name}\n")
endforeach()
string(APPEND ORN_DEF_TEXT "    ?ornReOpenPort@@YAHXZ=ornReOpenPort\n")
set(ORN_DEF_FILE ${CMAKE_BINARY_DIR}/VelquoraORN.def)
file(CONFIGURE OUTPUT ${ORN_DEF_FILE} CONTENT "${ORN_DEF_TEXT}")

add_library(velquoraorn SHARED src/exports.cpp ${ORN_DEF_FILE})
target_include_directories(velquoraorn PUBLIC include)
target_link_libraries(velquoraorn PRIVATE
  -Wl,--whole-archive velquoraorn_core -Wl,--no-whole-archive advapi32)
target_link_options(velquoraorn PRIVATE -Wl,--no-undefined)
# VelquoraORN.dll, and for MinGW applications (and the test programs here) the GNU import
# library libVelquoraORN.dll.a.
set_target_properties(velquoraorn PROPERTIES OUTPUT_NAME VelquoraORN PREFIX "")

# VelquoraORN.lib, the import library Visual Studio links, written from the same .def by LLVM's
# dlltool in the format Microsoft's tools write: short import members, which a /SAFESEH link
# accepts, and the decorated name imported as it is (__imp_?ornReOpenPort@@YAHXZ) beside the
# C names (__imp__ornInit). GNU ld's import library has neither.
find_program(ORN_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool)
if(NOT ORN_DLLTOOL)
  message(FATAL_ERROR "llvm-dlltool not found (Debian: llvm-14); it writes VelquoraORN.lib")
endif()
set(ORN_MSVC_IMPORT_LIB ${CMAKE_BINARY_DIR}/VelquoraORN.lib)
add_custom_command(OUTPUT ${ORN_MSVC_IMPORT_LIB}
  COMMAND ${ORN_DLLTOOL} -m i386 -d ${ORN_DEF_FILE} -l ${ORN_MSVC_IMPORT_LIB} -D VelquoraORN.dll
  DEPENDS ${ORN_DEF_FILE} VERBATIM)
add_custom_target(velquoraorn_msvc_lib ALL DEPENDS ${ORN_MSVC_IMPORT_LIB})

# The export table must be exactly the header's list, and VelquoraORN.lib must import exactly
# those names; the DLL must import only system DLLs.
add_custom_target(export_check ALL
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-exports.sh $<TARGET_FILE:velquoraorn> ${ORN_HEADER}
    ${ORN_MSVC_IMPORT_LIB}
  DEPENDS velquoraorn VERBATIM)
add_dependencies(export_check velquoraorn_msvc_lib)

# `cmake --install`: what an application ships or links against.
install(TARGETS velquoraorn RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES ${ORN_MSVC_IMPORT_LIB} DESTINATION lib)
install(FILES ${ORN_HEADER} DESTINATION include)

add_subdirectory(examples)

if(ORN_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests/win32)
endif()
