# The build's target family and embedded firmware, read in one place.
set(QUENDAL_FIRMWARE_FILE "${CMAKE_SOURCE_DIR}/firmware/Lurra 3.96.txt"
    CACHE FILEPATH "TI-Text file embedded as the built-in firmware image")
set(QUENDAL_FIRMWARE_NAME ""
    CACHE STRING "Name of the built-in image (empty: the firmware file's name without .txt)")
set(QUENDAL_TARGET_FAMILY "COMM"
    CACHE STRING "COMM (the comm device and its digital sensors) or an instrument type code (TARNX, CVFOUR, ...)")
set(QUENDAL_HARDWARE_RULE "NONE"
    CACHE STRING "Hardware revision rule of an instrument build: NONE, C_ONLY or A_OR_B")
set_property(CACHE QUENDAL_HARDWARE_RULE PROPERTY STRINGS NONE C_ONLY A_OR_B)
set(QUENDAL_RECORD_RESET "NONE"
    CACHE STRING "Command after an instrument update: NONE, EQN (reset -eqn), USERS (reset -users) or ACT (set -act 30)")
set_property(CACHE QUENDAL_RECORD_RESET PROPERTY STRINGS NONE EQN USERS ACT)
# An instrument build embeds an image for its own type: the default file is for sensors.
if(NOT QUENDAL_TARGET_FAMILY STREQUAL "COMM" AND
   QUENDAL_FIRMWARE_FILE STREQUAL "${CMAKE_SOURCE_DIR}/firmware/Lurra 3.96.txt")
  message(FATAL_ERROR
    "The ${QUENDAL_TARGET_FAMILY} build needs its firmware image: set QUENDAL_FIRMWARE_FILE, "
    "e.g. to one made by quendal-mkimage with the type's flash layout "
    "(\"${QUENDAL_TARGET_FAMILY} 2-10.txt\").")
endif()

# Windows programs carry the build's version in a version resource, where the About box
# reads it.
if(WIN32)
  enable_language(RC)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_BINARY_DIR}/generated/version.rc
                 @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/quendal.manifest
                 ${CMAKE_BINARY_DIR}/generated/quendal.manifest COPYONLY)
endif()
function(quendal_version_resource target)
  if(WIN32)
    target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/generated/version.rc)
  endif()
endfunction()
