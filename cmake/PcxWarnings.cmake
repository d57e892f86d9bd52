# Warnings are errors in every build of the project's own code.
function(pcx_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-qual
    -Wformat=2 -Wundef -Werror)
endfunction()
