# Strict warnings for the project's own targets only (third-party code such as
# GoogleTest built from source must not inherit -Werror).
function(kelo_strict target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
      -Wconversion -Wno-sign-conversion -Werror)
    # Hardened as distributions build their packages: checked string and
    # memory calls where the optimiser can see sizes, and a read-only GOT.
    # (MinGW's checked calls would need libssp: ELF builds only.)
    if(NOT WIN32)
      target_compile_definitions(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
      target_link_options(${target} PRIVATE -Wl,-z,relro,-z,now)
    endif()
  endif()
endfunction()

# PKCS#11 declarations come from p11-kit's header; only that one header is
# used, so the include directory is added without the rest of p11-kit.
function(kelo_use_pkcs11 target)
  target_include_directories(${target} SYSTEM PUBLIC ${PKCS11_INCLUDE_DIR})
endfunction()
