#include "source/archive_library.h"

#include <dlfcn.h>

namespace bytrove {

archive_library load_archive_library(const char* file) {
  archive_library result;
  void* handle = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    result.error = why != nullptr ? why : std::string("cannot load ") + file;
    return result;
  }
  archive_calls& calls = result.calls;
#define BYTROVE_ARCHIVE_CALL_LOAD(name)                                     \
  calls.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
  if (calls.name == nullptr && result.error.empty()) {                      \
    result.error = std::string(file) + " has no " #name;                    \
  }
  BYTROVE_ARCHIVE_CALLS(BYTROVE_ARCHIVE_CALL_LOAD)
#undef BYTROVE_ARCHIVE_CALL_LOAD
  result.loaded = result.error.empty();
  if (!result.loaded) {
    result.calls = archive_calls{};
    ::dlclose(handle);
  }
  return result;
}

const archive_library& the_archive_library() {
  static const archive_library library = load_archive_library(BYTROVE_ARCHIVE_SONAME);
  return library;
}

}  // namespace bytrove
