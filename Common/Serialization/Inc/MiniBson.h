// A small in-memory model of BSON (1.1) documents: int32, int64, double,
// string and nested document values, written out as BSON bytes or dumped as
// readable text. Encode only; nothing reads BSON back.
//
//   minibson::document doc;
//   doc.Set("bytes", 9);                                   // int32
//   doc["ip"] = std::make_unique<minibson::string>("10.0.0.1");
//   std::vector<uint8_t> bytes(doc.GetSerializedSize());
//   doc.Serialize(bytes.data(), bytes.size());
//
// Elements are kept and written in byte-wise ascending key order. A key is
// cut at its first zero byte when it is inserted, so that the declared sizes
// always match the bytes written.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>

namespace minibson {

class node {
 public:
  virtual ~node() = default;
  // Writes the value's bytes from the start of `buffer` when `size` is at
  // least GetSerializedSize(); otherwise writes nothing at all.
  virtual void Serialize(void* buffer, uint32_t size) const = 0;
  virtual uint32_t GetSerializedSize() const = 0;
  // The BSON element type; 0 for the bare element list.
  virtual uint8_t GetTypeCode() const { return 0; }
  virtual std::unique_ptr<node> Clone() const = 0;
  // Readable text at nesting depth `depth`; values print as PrintValue.
  virtual void Dump(std::ostream& os, int depth) const {
    (void)depth;
    PrintValue(os);
  }
  virtual void PrintValue(std::ostream& os) const = 0;
};

template <class T, uint8_t TypeCode>
class scalar : public node {
 public:
  scalar() = default;
  explicit scalar(const T& v) : value(v) {}

  void Serialize(void* buffer, uint32_t size) const override;
  uint32_t GetSerializedSize() const override { return sizeof(T); }
  uint8_t GetTypeCode() const override { return TypeCode; }
  std::unique_ptr<node> Clone() const override { return std::make_unique<scalar>(*this); }
  void PrintValue(std::ostream& os) const override { os << value; }

  T value{};
};

using int32 = scalar<int32_t, 0x10>;
using int64 = scalar<int64_t, 0x12>;
using Double = scalar<double, 0x01>;

extern template class scalar<int32_t, 0x10>;
extern template class scalar<int64_t, 0x12>;
extern template class scalar<double, 0x01>;

// A byte string (embedded zero bytes allowed: the length is written),
// encoded as int32 (length + 1), the bytes and a zero byte.
class string : public node {
 public:
  string() = default;
  explicit string(std::string v) : value(std::move(v)) {}

  void Serialize(void* buffer, uint32_t size) const override;
  uint32_t GetSerializedSize() const override;
  uint8_t GetTypeCode() const override { return 0x02; }
  std::unique_ptr<node> Clone() const override { return std::make_unique<string>(*this); }
  void PrintValue(std::ostream& os) const override;

  std::string value;
};

// Key -> owned value, in byte-wise ascending key order. Written as its
// elements only (type byte, key and zero byte, value); see document.
// Copying clones every value. Slots left empty by operator[] are skipped.
class element_list : public node {
 public:
  using map_type = std::map<std::string, std::unique_ptr<node>>;

  element_list() = default;
  element_list(const element_list& other);
  element_list& operator=(const element_list& other);
  element_list(element_list&&) noexcept = default;
  element_list& operator=(element_list&&) noexcept = default;
  ~element_list() override = default;

  // Replace the key's value (the old one is deleted) with an int32 or a
  // double. Returns the list for chaining.
  element_list& Set(const std::string& key, const int32_t& value);
  element_list& Set(const std::string& key, const double& value);
  // The owning slot of the key (created empty when absent), through which
  // values of the other kinds go in; assigning to it frees the old value.
  std::unique_ptr<node>& operator[](const std::string& key);

  size_t size() const { return elements_.size(); }
  bool empty() const { return elements_.empty(); }
  map_type::const_iterator begin() const { return elements_.begin(); }
  map_type::const_iterator end() const { return elements_.end(); }

  void Serialize(void* buffer, uint32_t size) const override;
  uint32_t GetSerializedSize() const override;
  std::unique_ptr<node> Clone() const override { return std::make_unique<element_list>(*this); }
  void Dump(std::ostream& os, int depth) const override;
  void PrintValue(std::ostream& os) const override;

 protected:
  uint32_t ElementsSize() const;
  // Writes the elements, which the caller has made room for; returns the
  // byte after them.
  uint8_t* WriteElements(uint8_t* out) const;

 private:
  map_type elements_;
};

// An element list written as a BSON document: int32 total size (counting
// itself and the final zero), the elements, a zero byte.
class document : public element_list {
 public:
  document() = default;

  void Serialize(void* buffer, uint32_t size) const override;
  uint32_t GetSerializedSize() const override { return ElementsSize() + 5; }
  uint8_t GetTypeCode() const override { return 0x03; }
  std::unique_ptr<node> Clone() const override { return std::make_unique<document>(*this); }
};

}  // namespace minibson
