# TV3_SANITIZE: empty, "address,undefined" or "thread". Applies to everything built,
# the fixture plug-ins included, so that a fault inside a fixture is caught too.
set(TV3_SANITIZE "" CACHE STRING "Sanitizers to build with (address,undefined | thread)")
if(TV3_SANITIZE)
  add_compile_options(-fsanitize=${TV3_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${TV3_SANITIZE})
  if(TV3_SANITIZE MATCHES "undefined")
    # vptr checks need the plug-in's type information to match ours; plug-ins
    # built by others (with hidden symbols) never do, so every call into them
    # would be reported.
    add_compile_options(-fno-sanitize-recover=undefined -fno-sanitize=vptr)
  endif()
endif()
