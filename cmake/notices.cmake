# Run at install time, so when a package is made: writes the notices of the
# runtime that mingw-w64 links into the executables, from the installed
# toolchain's own Debian copyright files, and fails if any is missing.
#   QUARCTL_MINGW_ARCH   x86-64 or i686, as in the Debian package names
set(sources
  "mingw-w64-${QUARCTL_MINGW_ARCH}-dev|the mingw-w64 runtime (start-up code, C runtime glue) and winpthreads"
  "gcc-mingw-w64-${QUARCTL_MINGW_ARCH}-posix|libgcc and libstdc++ (GPL 3 with the GCC Runtime Library Exception)")
set(text "Third-party notices

quarctl.exe and standin.exe are linked statically with parts of the
mingw-w64 toolchain's runtime: its start-up code and C runtime glue,
winpthreads, libgcc, and in standin.exe libstdc++. Those parts are
distributed under the licences below, copied from the copyright files of
the Debian packages that provided them.
")
foreach(source IN LISTS sources)
  string(REPLACE "|" ";" source "${source}")
  list(GET source 0 package)
  list(GET source 1 covers)
  set(file /usr/share/doc/${package}/copyright)
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "no licence notice for ${covers}: ${file} is missing")
  endif()
  execute_process(COMMAND dpkg-query -W -f=\${Version} ${package}
    OUTPUT_VARIABLE version RESULT_VARIABLE failed ERROR_QUIET)
  if(failed)
    set(version "version unknown")
  endif()
  file(READ ${file} copyright)
  string(APPEND text "

========================================================================
${covers}
Debian package ${package} ${version}, ${file}
========================================================================

${copyright}")
endforeach()

set(notices "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/THIRD-PARTY-NOTICES.txt")
file(WRITE ${notices} "${text}")
# Fixed permissions, whatever the umask: they go into the package.
file(CHMOD ${notices} FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
