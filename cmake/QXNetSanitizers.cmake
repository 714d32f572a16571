# Sanitizers apply to the library, the simulator and the tests that link them; the flags are
# handed to every target so that the runtime is linked consistently.
if(QXNET_SANITIZE)
  set(_qx_san "-fsanitize=${QXNET_SANITIZE}" -fno-omit-frame-pointer -g)
  if(QXNET_SANITIZE MATCHES "undefined")
    list(APPEND _qx_san -fno-sanitize-recover=all)
  endif()
  add_compile_options(${_qx_san})
  add_link_options("-fsanitize=${QXNET_SANITIZE}")
endif()
