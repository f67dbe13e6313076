# quendal_embed_firmware(target file name)
#
# Turns a TI-Text file into the built-in image record (kBuiltinImage, loader/builtin_image.h)
# at build time and adds the generated source to `target`. The conversion is a CMake script,
# not a native tool, so that it runs the same when cross-compiling. `name` is the image name;
# empty takes it from the file name the way an opened firmware file is named.
set(QUENDAL_FIRMWARE_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/FirmwareToSource.cmake)

function(quendal_embed_firmware target file name)
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "Firmware file not found: \"${file}\" (set QUENDAL_FIRMWARE_FILE)")
  endif()
  set(out ${CMAKE_CURRENT_BINARY_DIR}/builtin_image.cpp)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} "-DQUENDAL_INPUT=${file}" "-DQUENDAL_OUTPUT=${out}"
            "-DQUENDAL_NAME=${name}" -P "${QUENDAL_FIRMWARE_SCRIPT}"
    DEPENDS "${file}" "${QUENDAL_FIRMWARE_SCRIPT}"
    COMMENT "Embedding firmware image ${file}"
    VERBATIM)
  # The command lives in this directory, the target maybe elsewhere: a target here runs it.
  add_custom_target(${target}_builtin_image DEPENDS ${out})
  add_dependencies(${target} ${target}_builtin_image)
  target_sources(${target} PRIVATE ${out})
endfunction()
