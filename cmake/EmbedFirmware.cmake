# Placeholder: being written.
function(quendal_embed_firmware target file name)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/builtin_image.cpp)
  file(WRITE ${out} "#include \"loader/builtin_image.h\"\nnamespace quendal {\nconst BuiltinImage kBuiltinImage = {\"x\", {}, \"\", 0, 0};\n}\n")
  target_sources(${target} PRIVATE ${out})
endfunction()
