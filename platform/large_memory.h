// Large arrays of the service's own (the index kept beside each image, millions of entries): memory
// that the system may back with huge pages where it offers them, so that filling it takes one page
// fault per 2 MiB instead of one per 4 KiB. Freed memory goes back to the system at once.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace ostrin::platform {

// Reserves and commits bytes of zeroed memory; null when the system has none.
void* AllocateLarge(size_t bytes);
// Gives back what AllocateLarge returned for that many bytes.
void FreeLarge(void* memory, size_t bytes) noexcept;

// A growing array of trivially copyable values in large memory; throws std::bad_alloc.
template <typename T>
class CLargeArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  CLargeArray() = default;
  ~CLargeArray() { Release(); }
  CLargeArray(const CLargeArray&) = delete;
  CLargeArray& operator=(const CLargeArray&) = delete;
  CLargeArray(CLargeArray&& other) noexcept { Swap(other); }
  CLargeArray& operator=(CLargeArray&& other) noexcept {
    if (this != &other) {
      Release();
      Swap(other);
    }
    return *this;
  }

  size_t Size() const { return m_size; }
  size_t Capacity() const { return m_capacity; }
  bool IsEmpty() const { return m_size == 0; }
  T& operator[](size_t index) { return m_data[index]; }
  const T& operator[](size_t index) const { return m_data[index]; }
  T* Data() { return m_data; }
  const T* Data() const { return m_data; }

  void Reserve(size_t capacity) {
    if (capacity <= m_capacity) return;
    void* memory = AllocateLarge(capacity * sizeof(T));
    if (memory == nullptr) throw std::bad_alloc();
    if (m_size != 0) std::memcpy(memory, m_data, m_size * sizeof(T));
    const size_t size = m_size;
    Release();
    m_data = static_cast<T*>(memory);
    m_size = size;
    m_capacity = capacity;
  }
  void PushBack(const T& value) {
    if (m_size == m_capacity) Reserve(m_capacity < 1024 ? 1024 : m_capacity * 2);
    m_data[m_size++] = value;
  }
  // Exactly count values, each value.
  void Assign(size_t count, const T& value) {
    Release();
    Reserve(count);
    for (size_t i = 0; i < count; ++i) m_data[i] = value;
    m_size = count;
  }
  void Release() noexcept {
    if (m_data != nullptr) FreeLarge(m_data, m_capacity * sizeof(T));
    m_data = nullptr;
    m_size = 0;
    m_capacity = 0;
  }

 private:
  void Swap(CLargeArray& other) noexcept {
    std::swap(m_data, other.m_data);
    std::swap(m_size, other.m_size);
    std::swap(m_capacity, other.m_capacity);
  }

  T* m_data = nullptr;
  size_t m_size = 0;
  size_t m_capacity = 0;
};

}  // namespace ostrin::platform
