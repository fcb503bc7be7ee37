# Removes every file that the last install listed in install_manifest.txt
# (DESTDIR from the environment, as the install had it).
if(NOT EXISTS install_manifest.txt)
  message(FATAL_ERROR "no install_manifest.txt here: nothing was installed from this build")
endif()
file(STRINGS install_manifest.txt files ENCODING UTF-8)
foreach(file IN LISTS files)
  set(path "$ENV{DESTDIR}${file}")
  if(EXISTS "${path}" OR IS_SYMLINK "${path}")
    message(STATUS "Removing ${path}")
    file(REMOVE "${path}")
  endif()
endforeach()
