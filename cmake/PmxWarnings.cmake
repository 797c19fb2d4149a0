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
if(PMX_SANITIZE)
  target_compile_options(pmx_settings INTERFACE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(pmx_settings INTERFACE -fsanitize=address,undefined)
endif()
