# Run by CPack on the package's files before it packs them: Debian keeps
# manual pages and changelogs compressed, and wants the changelog there.
set(doc "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/share/doc/brindle")
configure_file("${CMAKE_CURRENT_LIST_DIR}/changelog.Debian" "${doc}/changelog.Debian" COPYONLY)
foreach(file "${doc}/changelog.Debian"
             "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/share/man/man1/brindle.1")
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endforeach()
