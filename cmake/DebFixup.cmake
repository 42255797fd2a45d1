# Run by cpack after it has built the Debian packages (CPACK_POST_BUILD_SCRIPTS),
# to finish them as debhelper would:
# - a package holding a shared library gets maintainer scripts from cpack
#   that only run ldconfig; its ldconfig trigger does that job, and Debian
#   wants the trigger alone, so they go;
# - cpack strips programs and shared libraries but leaves the compiler's
#   .comment section in them, and static libraries whole: as dh_strip does,
#   .comment and .note go from every ELF file and debugging information from
#   static libraries (md5sums follow).
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${deb} ${tree} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${deb} failed")
  endif()
  set(changed FALSE)
  if(EXISTS ${tree}/DEBIAN/triggers)
    foreach(script postinst postrm)
      if(EXISTS ${tree}/DEBIAN/${script})
        file(READ ${tree}/DEBIAN/${script} text)
        # Only cpack's own: a shell line, set -e, ldconfig (perhaps in an if).
        string(REGEX REPLACE "#![^\n]*\n|set -e|if \\[[^\n]*\\]; then|ldconfig|fi|[ \t\n]" "" rest "${text}")
        if(rest STREQUAL "")
          file(REMOVE ${tree}/DEBIAN/${script})
          set(changed TRUE)
        endif()
      endif()
    endforeach()
  endif()
  file(GLOB_RECURSE files LIST_DIRECTORIES false ${tree}/*)
  foreach(f IN LISTS files)
    if(f MATCHES "/DEBIAN/" OR IS_SYMLINK ${f})
      continue()
    endif()
    file(READ ${f} magic LIMIT 8 HEX)
    set(strip_args "")
    if(magic MATCHES "^7f454c46")
      set(strip_args --remove-section=.comment --remove-section=.note)
    elseif(magic STREQUAL "213c617263683e0a")  # "!<arch>\n"
      set(strip_args --strip-debug --remove-section=.comment --remove-section=.note
                     --enable-deterministic-archives)
    endif()
    if(strip_args)
      execute_process(COMMAND strip ${strip_args} ${f} RESULT_VARIABLE rc)
      if(NOT rc EQUAL 0)
        message(FATAL_ERROR "strip ${f} failed")
      endif()
      set(changed TRUE)
    endif()
  endforeach()
  if(changed)
    # md5sums anew, and Installed-Size as dpkg-gencontrol counts it: KiB
    # per file rounded up, one per directory and link.
    execute_process(COMMAND sh -c "find . -type f ! -path './DEBIAN/*' -printf '%P\\0' | LC_ALL=C sort -z | xargs -0r md5sum >DEBIAN/md5sums && size=$(find . ! -path './DEBIAN*' ! -path . -printf '%y %s\\n' | awk '{ n += ($1 == \"f\") ? int(($2 + 1023) / 1024) : 1 } END { print n }') && sed -i \"s/^Installed-Size: .*/Installed-Size: $size/\" DEBIAN/control"
                    WORKING_DIRECTORY ${tree} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "md5sums of ${deb} failed")
    endif()
    execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b ${tree} ${deb}
                    OUTPUT_QUIET RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "dpkg-deb -b ${deb} failed")
    endif()
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
