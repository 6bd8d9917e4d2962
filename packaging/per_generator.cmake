# Read by cpack once per generator: the plugin ships as a zip holding exactly the Skytether/
# folder, the server as a tarball with a top-level folder of its own.
if(CPACK_GENERATOR STREQUAL "ZIP")
  set(CPACK_COMPONENTS_ALL plugin)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
elseif(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_COMPONENTS_ALL server)
  set(CPACK_PACKAGE_FILE_NAME "skytether-server-${CPACK_PACKAGE_VERSION}-linux")
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
