# Warnings are errors on the project's own code; third-party headers come in
# as system headers and are not held to them.
function(qv5810_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Werror)
endfunction()
