# The files the programs read from their own folder at run time (the program directory):
# the settings file, the language files, the report templates and, once it exists, the
# local help. They are copied beside the executables in ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}.
# One copy rule per file, so a build after an edit copies exactly the changed files; the
# globs are re-checked at every build, so a new or removed file needs no manual re-configure.
# A file deleted from the sources stays in the output folder until that folder is cleaned.

set(KESTRIO_RESOURCE_FILES ${CMAKE_SOURCE_DIR}/config.ini)
foreach(dir IN ITEMS Languages template help)
  file(GLOB_RECURSE dir_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*)
  list(APPEND KESTRIO_RESOURCE_FILES ${dir_files})
endforeach()

set(KESTRIO_RESOURCE_COPIES)
foreach(source IN LISTS KESTRIO_RESOURCE_FILES)
  file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${source})
  set(copy ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${relative})
  get_filename_component(copy_dir ${copy} DIRECTORY)
  add_custom_command(OUTPUT ${copy}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${copy_dir}
                     COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
                     DEPENDS ${source}
                     COMMENT "Copying ${relative} beside the executables"
                     VERBATIM)
  list(APPEND KESTRIO_RESOURCE_COPIES ${copy})
endforeach()

add_custom_target(kestrio_resources ALL DEPENDS ${KESTRIO_RESOURCE_COPIES})
