#pragma once
// Owns a shared library loaded at run time and unloads it when it goes. The
// bindings of optional libraries (pcsc-lite, a card terminal library) resolve
// their entry points through it, so a missing library is a result, not a
// start-up failure.

#include <string>

namespace velkaro {

class SharedLibrary {
 public:
  // Loads the library by file name (the system's search) or path; on failure
  // the owner holds nothing and the reason goes to the debug output. An
  // empty name loads nothing.
  explicit SharedLibrary(const std::string& fileName);
  ~SharedLibrary() { Reset(); }
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  bool IsLoaded() const { return m_handle != nullptr; }
  // Unloads the library; entry points taken from it must not be called after.
  void Reset();

  // The entry point `name` as a function pointer, or null when the library is
  // not loaded or lacks it.
  template <typename Function>
  Function Symbol(const char* name) const {
    return reinterpret_cast<Function>(Address(name));
  }

 private:
  void* Address(const char* name) const;

  void* m_handle = nullptr;
};

}  // namespace velkaro
