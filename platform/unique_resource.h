// One owner for every kind of system resource (descriptor, handle, socket, service handle): the
// resource is closed by its owner, exactly once.
#pragma once

#include <utility>

namespace ostrin::platform {

// Traits name the resource's type and say what no resource is and how one is closed:
//   using Value = ...;
//   static Value Invalid();             the value an empty owner holds
//   static bool IsValid(Value value);   false for every value that names no resource
//   static void Close(Value value);     called only for a valid value
template <typename Traits>
class CUniqueResource {
 public:
  using Value = typename Traits::Value;

  CUniqueResource() = default;
  explicit CUniqueResource(Value value) : m_value(value) {}
  ~CUniqueResource() { Reset(); }
  CUniqueResource(CUniqueResource&& other) noexcept : m_value(other.Release()) {}
  CUniqueResource& operator=(CUniqueResource&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  CUniqueResource(const CUniqueResource&) = delete;
  CUniqueResource& operator=(const CUniqueResource&) = delete;

  Value Get() const { return m_value; }
  bool IsValid() const { return Traits::IsValid(m_value); }
  // Gives the resource up without closing it; the owner is empty after.
  Value Release() { return std::exchange(m_value, Traits::Invalid()); }
  // Closes the resource held, if any, and holds value instead.
  void Reset(Value value = Traits::Invalid()) {
    if (Traits::IsValid(m_value)) Traits::Close(m_value);
    m_value = value;
  }

 private:
  Value m_value = Traits::Invalid();
};

}  // namespace ostrin::platform
