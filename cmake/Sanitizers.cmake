# KESTREL_SANITIZE: empty, "address,undefined" or "thread". Applied to every
# target, GoogleTest included when it is built from source, so that the whole
# suite runs instrumented.
set(KESTREL_SANITIZE "" CACHE STRING "Sanitizers for every target: address,undefined or thread")

if(KESTREL_SANITIZE)
  if(KESTREL_SANITIZE MATCHES "thread" AND KESTREL_SANITIZE MATCHES "address")
    message(FATAL_ERROR "KESTREL_SANITIZE: thread cannot be combined with address")
  endif()
  # Halt on the first report of any kind; a sanitizer finding is a failed test.
  # -O1 keeps instrumented tests fast while stack traces stay readable.
  set(_kestrel_sanitize_flags -fsanitize=${KESTREL_SANITIZE} -fno-sanitize-recover=all
      -fno-omit-frame-pointer -g -O1)
  add_compile_options(${_kestrel_sanitize_flags})
  # GCC 12 reports false "may be used uninitialized" inside libstdc++ (std::regex,
  # std::function) when the address sanitizer instruments it; the host build
  # still treats that warning as an error.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-error=maybe-uninitialized)
  endif()
  add_link_options(-fsanitize=${KESTREL_SANITIZE})
  unset(_kestrel_sanitize_flags)
endif()
