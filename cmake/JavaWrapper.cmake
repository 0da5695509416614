# Shared settings for every target of the project.

# The JNI header comes from the build machine's JDK on every preset; the
# Windows builds pair it with our own Windows jni_md.h.
find_path(JW_JNI_INCLUDE jni.h
  PATHS $ENV{JAVA_HOME}/include /usr/lib/jvm/default-java/include
        /usr/lib/jvm/java-17-openjdk-amd64/include
  NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
if(NOT JW_JNI_INCLUDE)
  message(FATAL_ERROR "jni.h not found: install a JDK (openjdk-17-jdk-headless) or set JAVA_HOME")
endif()
if(WIN32)
  set(JW_JNI_INCLUDES ${CMAKE_SOURCE_DIR}/src/platform/jni_win ${JW_JNI_INCLUDE})
else()
  set(JW_JNI_INCLUDES ${JW_JNI_INCLUDE} ${JW_JNI_INCLUDE}/linux)
endif()

# The JDKs installed under /usr/lib/jvm, one entry per real installation, as
# "<feature release>|<java launcher>", newest first. The Java suite runs on
# them and the benchmark's FFM peer picks one.
function(jw_installed_jdks result)
  file(GLOB javas /usr/lib/jvm/*/bin/java)
  set(seen "")
  set(found "")
  foreach(java ${javas})
    get_filename_component(real ${java} REALPATH)
    if(real IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${real})
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/jdk-major ${java}
      OUTPUT_VARIABLE major OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(major GREATER 0)
      list(APPEND found "${major}|${real}")
    endif()
  endforeach()
  list(SORT found COMPARE NATURAL ORDER DESCENDING)
  set(${result} ${found} PARENT_SCOPE)
endfunction()

# Warnings are errors for our own code on every preset.
function(jw_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR})
endfunction()

# A module that another program loads by file name. On Windows it carries its
# own C++ runtime (no mingw DLL beside it) and exports plain, undecorated names.
function(jw_loadable_module target)
  if(WIN32)
    target_link_options(${target} PRIVATE -static -Wl,--kill-at)
  else()
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()

if(WIN32)
  # Test programs run under Wine, which has no mingw runtime DLLs either.
  set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -static")
  # Every Windows program runs under Wine with the build tree's own prefix.
  set(JW_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
endif()

if(WIN32)
  set(JW_PLATFORM_SOURCES ${CMAKE_SOURCE_DIR}/src/platform/platform_win.cpp
    ${CMAKE_SOURCE_DIR}/src/platform/fault_guard_win.cpp
    ${CMAKE_SOURCE_DIR}/src/platform/message_sink.cpp
    ${CMAKE_SOURCE_DIR}/src/platform/output_file_win.cpp)
  set(JW_DESKTOP_SOURCES ${CMAKE_SOURCE_DIR}/src/platform/desktop_win.cpp)
  set(JW_MODULE_MAIN ${CMAKE_SOURCE_DIR}/src/platform/module_main_win.cpp)
  set(JW_PLATFORM_LIBS user32 advapi32)
else()
  set(JW_PLATFORM_SOURCES ${CMAKE_SOURCE_DIR}/src/platform/platform_posix.cpp
    ${CMAKE_SOURCE_DIR}/src/platform/fault_guard_posix.cpp
    ${CMAKE_SOURCE_DIR}/src/platform/message_sink.cpp
    ${CMAKE_SOURCE_DIR}/src/platform/output_file_posix.cpp)
  set(JW_DESKTOP_SOURCES ${CMAKE_SOURCE_DIR}/src/platform/desktop_x11.cpp)
  set(JW_MODULE_MAIN ${CMAKE_SOURCE_DIR}/src/platform/module_main_posix.cpp)
  set(JW_PLATFORM_LIBS ${CMAKE_DL_LIBS} pthread)
endif()
if(WIN32)
  set(JW_HOST_LINK_SOURCES ${CMAKE_SOURCE_DIR}/src/platform/host_link_win.cpp)
else()
  set(JW_HOST_LINK_SOURCES ${CMAKE_SOURCE_DIR}/src/platform/host_link_posix.cpp)
endif()
