# The sanitizer build of the build machine's tools and tests: AddressSanitizer and
# UndefinedBehaviorSanitizer, every finding fatal so it fails the test that hit it. Where the
# compiler has libFuzzer, the code is also instrumented for it and the fuzz targets are built.
include(CheckCXXSourceCompiles)

set(QEL_SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer -g)
add_compile_options(${QEL_SANITIZE_FLAGS})
add_link_options(-fsanitize=address,undefined)

set(CMAKE_REQUIRED_FLAGS "-fsanitize=fuzzer")
set(CMAKE_REQUIRED_LINK_OPTIONS -fsanitize=fuzzer)
check_cxx_source_compiles([[
#include <cstddef>
#include <cstdint>
extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }
]] QEL_HAVE_LIBFUZZER)
unset(CMAKE_REQUIRED_FLAGS)
unset(CMAKE_REQUIRED_LINK_OPTIONS)

# Coverage feedback must reach into the libraries the targets call, not only the targets.
if(QEL_HAVE_LIBFUZZER)
  add_compile_options(-fsanitize=fuzzer-no-link)
else()
  message(STATUS "no libFuzzer in this compiler: the fuzz targets are not built")
endif()
