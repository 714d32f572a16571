# Every target of the project builds warning-free.
function(qxnet_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
