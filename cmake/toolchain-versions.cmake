# What built the programs, asked of this machine, for the notices and the
# copyright file: the system, from /etc/os-release, and for each library the
# linker puts in, the package that holds the file the compiler links, its
# version, upstream version and source package. A download stops where the
# package manager cannot tell; other builds say "not known".
find_program(DPKG_QUERY dpkg-query)
set(PATCHERS_SYSTEM "not known")
if(EXISTS /etc/os-release)
  file(STRINGS /etc/os-release PATCHERS_SYSTEM REGEX "^PRETTY_NAME=")
  string(REGEX REPLACE "^PRETTY_NAME=\"?([^\"]*)\"?$" "\\1" PATCHERS_SYSTEM "${PATCHERS_SYSTEM}")
elseif(WIN32 OR PATCHERS_STATIC)
  message(FATAL_ERROR "A download names the system that built it, and here there is no /etc/os-release")
endif()

# Sets <prefix>_PACKAGE, _VERSION, _SOURCE, _SOURCE_VERSION, _FROM ("package
# version") and _UPSTREAM for the library file given.
function(patchers_linked prefix file)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${file}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REAL_PATH "${path}" real)
  set(fields "")
  # dpkg knows a file by the path its package gives, which may be either.
  foreach(candidate IN ITEMS "${real}" "${path}")
    if(DPKG_QUERY AND NOT fields AND IS_ABSOLUTE "${candidate}")
      execute_process(COMMAND ${DPKG_QUERY} -S ${candidate} OUTPUT_VARIABLE owner ERROR_QUIET)
      string(REGEX MATCH "^[^ ,]*[^ ,:]" package "${owner}")
      if(package)
        execute_process(COMMAND ${DPKG_QUERY} -W "-f=\${Package};\${Version};\${source:Package};\${source:Version}"
                        ${package} OUTPUT_VARIABLE fields ERROR_QUIET)
      endif()
    endif()
  endforeach()
  list(LENGTH fields known)
  if(known EQUAL 4)
    list(GET fields 0 1 from)
    list(JOIN from " " from)
    list(GET fields 1 version)
    string(REGEX REPLACE "^[0-9]+:|-[^-]*$" "" upstream "${version}")
    list(APPEND fields "${from}" "${upstream}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${real})
  elseif(NOT (WIN32 OR PATCHERS_STATIC))
    set(fields "not known;not known;not known;not known;not known;not known")
  elseif(NOT EXISTS "${DPKG_QUERY}")
    message(FATAL_ERROR "A download names the package of each library in it, and here there is no dpkg-query to tell which holds ${path}")
  else()
    message(FATAL_ERROR "A download names the package of each library in it, and no package holds ${path}")
  endif()
  foreach(name PACKAGE VERSION SOURCE SOURCE_VERSION FROM UPSTREAM)
    list(POP_FRONT fields value)
    set(${prefix}_${name} "${value}" PARENT_SCOPE)
  endforeach()
endfunction()

patchers_linked(LIBSTDCXX libstdc++.a)
patchers_linked(LIBGCC libgcc.a)
if(WIN32)
  patchers_linked(MINGW libmingwex.a)
  patchers_linked(WINPTHREADS libpthread.a)
else()
  patchers_linked(LIBC libc.a)
  # The file Debian published glibc's source package as, which tools/package
  # puts beside the download and the notices name.
  string(REGEX REPLACE "^[0-9]+:" "" version "${LIBC_SOURCE_VERSION}")
  set(LIBC_SOURCE_TAR "${LIBC_SOURCE}-${version}-source.tar")
  if(LIBC_SOURCE STREQUAL "not known")
    set(LIBC_SOURCE_TAR "not known")
  endif()
endif()
