// CSList: the singly linked list that owns attributes, data runs, index entries and extension records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ntfs/recycler.h"

template <typename T>
class CSList {
 public:
  CSList() = default;
  virtual ~CSList() { Clear(); }
  CSList(const CSList&) = delete;
  CSList& operator=(const CSList&) = delete;

  // Takes ownership of element and appends it at the tail.
  bool Append(T* element) {
    Node* node = new Node{nullptr, element};
    if (m_tail != nullptr) {
      m_tail->next = node;
    } else {
      m_head = node;
    }
    m_tail = node;
    ++m_count;
    return true;
  }

  // Deletes every element and node.
  void Clear() {
    Node* node = m_head;
    while (node != nullptr) {
      Node* next = node->next;
      delete node->element;
      delete node;
      node = next;
    }
    m_count = 0;
    m_head = m_tail = m_cursor = nullptr;
  }

  // Starts an iteration: the head's element, or null.
  T* First() {
    m_cursor = m_head;
    return m_cursor != nullptr ? m_cursor->element : nullptr;
  }

  // Advances the iteration: the next element, or null.
  T* Next() {
    if (m_cursor != nullptr) m_cursor = m_cursor->next;
    return m_cursor != nullptr ? m_cursor->element : nullptr;
  }

  // Moves every element, in order, to the end of target; this list ends empty and deletes nothing.
  void MoveAllTo(CSList& target) {
    if (m_head == nullptr) return;
    if (target.m_tail != nullptr) {
      target.m_tail->next = m_head;
    } else {
      target.m_head = m_head;
    }
    target.m_tail = m_tail;
    target.m_count += m_count;
    m_count = 0;
    m_head = m_tail = m_cursor = nullptr;
  }

  int32_t Count() const { return m_count; }
  bool IsEmpty() const { return m_head == nullptr; }

 private:
  struct Node {
    Node* next;
    T* element;

    static void* operator new(std::size_t size) { return ntfs_recycler::Allocate(size); }
    static void operator delete(void* block, std::size_t size) noexcept { ntfs_recycler::Free(block, size); }
  };

 public:
  // Iteration that leaves the cursor alone: for (T* element : list).
  class Iterator {
   public:
    explicit Iterator(const Node* node) : m_node(node) {}
    T* operator*() const { return m_node->element; }
    Iterator& operator++() {
      m_node = m_node->next;
      return *this;
    }
    bool operator!=(const Iterator& other) const { return m_node != other.m_node; }

   private:
    const Node* m_node;
  };
  Iterator begin() const { return Iterator(m_head); }
  Iterator end() const { return Iterator(nullptr); }

 private:
  int32_t m_count = 0;
  Node* m_head = nullptr;
  Node* m_tail = nullptr;
  Node* m_cursor = nullptr;
};
