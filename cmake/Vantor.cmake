# Helpers shared by every subsystem folder.

# Our own code warns; with VANTOR_WERROR (scripts/test, so CI) its
# warnings are errors, outside headers staying quiet. A user's build of any
# type with any compiler is not stopped by a new compiler's new warning.
# The clang fuzz tree warns without failing: the warning policy is GCC's.
function(vantor_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(VANTOR_WERROR AND NOT VANTOR_FUZZ)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# vantor_close_modes(<target>): the library loses group's and others' write
# bits once linked, as the link launcher does for C and C++ links (the
# engine refuses a library others can change); for targets linked by the
# Fortran compiler, which takes no launcher.
function(vantor_close_modes target)
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND chmod go-w "$<TARGET_FILE:${target}>" VERBATIM)
endfunction()

# vantor_install_folders(<folder>...): folders of the installation (below
# its prefix) that an install makes 0755 whatever the umask, before any
# file goes in; every install destination is named here.
function(vantor_install_folders)
  set_property(GLOBAL APPEND PROPERTY VANTOR_INSTALL_FOLDERS ${ARGN})
endfunction()

# vantor_install_target(<target> <destination>): installs a program or
# library and counts it among what an installation needs
# (the vantor-installable target builds them all).
function(vantor_install_target target destination)
  install(TARGETS ${target} RUNTIME DESTINATION ${destination} LIBRARY DESTINATION ${destination})
  set_property(GLOBAL APPEND PROPERTY VANTOR_INSTALLED_TARGETS ${target})
  vantor_install_folders(${destination})
endfunction()

# vantor_library(<target> [RECURSIVE] [DEPS <targets...>] [EXTRA_SOURCES ...])
# A subsystem library built from every .cpp of the calling folder; with
# RECURSIVE also from its sub-folders by concern (without it, sub-folders may
# hold libraries of their own, as in numerics/).
function(vantor_library target)
  cmake_parse_arguments(ARG "RECURSIVE" "" "DEPS;EXTRA_SOURCES" ${ARGN})
  if(ARG_RECURSIVE)
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  else()
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  add_library(${target} STATIC ${sources} ${ARG_EXTRA_SOURCES})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PUBLIC ${ARG_DEPS})
  vantor_warnings(${target})
endfunction()

# vantor_test_folder(<name> [DEPS <targets...>] [APART <files...>])
# One GoogleTest executable per test folder from all its *_test.cpp files,
# compiled several to a unit; the files APART are compiled on their own
# (their file-local names clash with another file's).
function(vantor_test_folder name)
  cmake_parse_arguments(ARG "" "" "DEPS;APART" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(NOT sources)
    return()
  endif()
  set(target ${name}_tests)
  add_executable(${target} ${sources})
  # One compiler run over several test files: each includes GoogleTest and
  # most of its subsystem, which CI would otherwise parse once a file.
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
  # GCC spares fixtures in an anonymous namespace of the main file only.
  target_compile_options(${target} PRIVATE -Wno-subobject-linkage)
  list(TRANSFORM ARG_APART PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  if(ARG_APART)
    set_source_files_properties(${ARG_APART} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
  endif()
  target_link_libraries(${target} PRIVATE ${ARG_DEPS} vantor_test_support
                        GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  vantor_warnings(${target})
  target_compile_definitions(${target} PRIVATE
    VANTOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    VANTOR_BINARY_DIR="${PROJECT_BINARY_DIR}")
  # A time-out only catches a hang: the sanitizer trees run several times
  # slower, more so on a busy machine.
  set(timeout 300)
  if(VANTOR_TSAN)
    set(timeout 900)
  elseif(VANTOR_SANITIZE)
    set(timeout 600)
  endif()
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT ${timeout})
endfunction()
