# The Windows resources: the message table, compiled by the platform's message compiler
# (mc.exe, or windmc with the same options), and the version resource. Included by
# resources/CMakeLists.txt, which defines ${generated} and corvane_messages.

if(NOT CMAKE_MC_COMPILER)
  find_program(CMAKE_MC_COMPILER NAMES mc windmc REQUIRED)
endif()

# -A stores 8-bit entries, the form the event log reads with the "A" calls.
add_custom_command(
  OUTPUT ${generated}/messages.h ${generated}/messages.rc ${generated}/MSG00409.bin
  COMMAND ${CMAKE_MC_COMPILER} -A -h ${generated} -r ${generated}
          ${message_source}
  DEPENDS ${message_source}
  COMMENT "Message table from messages.mc"
  VERBATIM)
add_custom_target(corvane_catalog
  DEPENDS ${generated}/messages.h ${generated}/messages.rc ${generated}/MSG00409.bin)
add_dependencies(corvane_messages corvane_catalog)

# The executable's resources, linked into it as objects: nothing refers to them by
# symbol, so they must not sit in an archive the linker may skip.
configure_file(version.rc.in ${generated}/version.rc @ONLY)
add_library(corvane_resources OBJECT
  ${generated}/messages.rc
  ${generated}/version.rc)
# messages.rc names MSG00409.bin without a directory.
target_include_directories(corvane_resources PRIVATE ${generated})
add_dependencies(corvane_resources corvane_catalog)
