# Warnings are errors on both compilers.
add_compile_options(-Wall -Wextra -Werror)
