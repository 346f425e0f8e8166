#include "platform/shared_library.h"

#include <dlfcn.h>

#include <utility>

#include "platform/services.h"

namespace velkaro {

SharedLibrary::SharedLibrary(const std::string& fileName) {
  if (fileName.empty()) return;  // dlopen would hand out the program itself
  m_handle = ::dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m_handle) {
    const char* reason = ::dlerror();
    OutputDebugString("shared library: cannot load " + fileName + ": " + (reason ? reason : "unknown reason"));
  }
}

void SharedLibrary::Reset() {
  if (m_handle) ::dlclose(std::exchange(m_handle, nullptr));
}

void* SharedLibrary::Address(const char* name) const { return m_handle ? ::dlsym(m_handle, name) : nullptr; }

}  // namespace velkaro
