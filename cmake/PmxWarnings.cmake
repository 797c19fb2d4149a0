# Shared compile settings for every target of the project.
add_library(pmx_settings INTERFACE)
target_compile_options(pmx_settings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Woverloaded-virtual -Wformat=2
  # Files are compared byte for byte: no fused multiply-add, no fast math.
  -ffp-contract=off -fno-fast-math)
if(PMX_WERROR)
  target_compile_options(pmx_settings INTERFACE -Werror)
endif()
if(PMX_BUILD_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "PMX_BUILD_FUZZ needs clang (configure with -DCMAKE_CXX_COMPILER=clang++)")
endif()
if(PMX_SANITIZE OR PMX_BUILD_FUZZ)
  set(sanitizers address,undefined)
  # A fuzz build puts the fuzzer's coverage on every target, so that a fuzz target is guided
  # through the module it loads and the host it runs in, not only through its own code.
  if(PMX_BUILD_FUZZ)
    set(sanitizers fuzzer-no-link,${sanitizers})
  endif()
  target_compile_options(pmx_settings INTERFACE
    -fsanitize=${sanitizers} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(pmx_settings INTERFACE -fsanitize=address,undefined)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # clang links its sanitizer and coverage runtimes into executables only, so the module
    # leaves them to the program that loads it (this comes after its --no-undefined).
    target_link_options(pmx_settings INTERFACE
      $<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,MODULE_LIBRARY>:-Wl,-z,undefs>)
  endif()
endif()
