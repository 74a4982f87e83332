#pragma once
#include <stdexcept>
#include <string>

namespace framework {

// Base of the framework's own exceptions; what escapes the program ends at the
// unhandled-exception routine.
class RuntimeException : public std::runtime_error {
 public:
  explicit RuntimeException(const std::string& message = "RuntimeException")
      : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

class NilObjectException : public RuntimeException {
 public:
  explicit NilObjectException(const std::string& message = "NilObjectException")
      : RuntimeException(message) {}
};

class OutOfBoundsException : public RuntimeException {
 public:
  explicit OutOfBoundsException(const std::string& message = "OutOfBoundsException")
      : RuntimeException(message) {}
};

class IOException : public RuntimeException {
 public:
  explicit IOException(const std::string& message = "IOException") : RuntimeException(message) {}
};

class IllegalCastException : public RuntimeException {
 public:
  explicit IllegalCastException(const std::string& message = "IllegalCastException")
      : RuntimeException(message) {}
};

// Dereference check: a nil reference used raises NilObjectException.
template <class T>
T* Required(T* p) {
  if (!p) throw NilObjectException();
  return p;
}

// The type-tested conversion of an object reference: nil stays nil; another class raises.
template <class T, class U>
T* ControlCastObject(U* object) {
  if (!object) return nullptr;
  T* t = dynamic_cast<T*>(object);
  if (!t) throw IllegalCastException();
  return t;
}

}  // namespace framework
