# Lays out the guest's root and packs it as a cpio archive (newc), the
# initramfs of the rig's VM. mbpoll comes along with its libraries when it is
# installed, for the benchmark.
file(REMOVE_RECURSE ${STAGING})
file(MAKE_DIRECTORY ${STAGING}/bin ${STAGING}/proc ${STAGING}/sys ${STAGING}/dev ${STAGING}/tmp)
file(COPY ${BUSYBOX} ${KOBREL} ${HELPER} DESTINATION ${STAGING}/bin)
configure_file(${INIT} ${STAGING}/init COPYONLY)
file(CHMOD ${STAGING}/init PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
if(MBPOLL)
  file(COPY ${MBPOLL} DESTINATION ${STAGING}/bin)
  file(GET_RUNTIME_DEPENDENCIES EXECUTABLES ${MBPOLL} RESOLVED_DEPENDENCIES_VAR libraries)
  foreach(library ${libraries})
    get_filename_component(folder ${library} DIRECTORY)
    file(COPY ${library} DESTINATION ${STAGING}${folder} FOLLOW_SYMLINK_CHAIN)
  endforeach()
  file(COPY /lib64/ld-linux-x86-64.so.2 DESTINATION ${STAGING}/lib64 FOLLOW_SYMLINK_CHAIN)
endif()
execute_process(COMMAND sh -c "find . | LC_ALL=C sort | '${CPIO}' --quiet -o -H newc -R 0:0 > '${IMAGE}'"
  WORKING_DIRECTORY ${STAGING} RESULT_VARIABLE packed)
if(NOT packed EQUAL 0)
  message(FATAL_ERROR "cpio could not pack the guest image")
endif()
